#include "remote/RemoteControlDialog.h"

#include <QCheckBox>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "remote/RemoteControl.h"

RemoteControlDialog::RemoteControlDialog(RemoteControl& control, QWidget* parent)
    : QDialog(parent), control(control) {
  setWindowTitle("远程控制");
  chkRemoteControl = new QCheckBox("开启远程控制（HTTP 与 WebSocket，只在本机 127.0.0.1）", this);
  chkRemoteControl->setObjectName("chkRemoteControl");
  tfUrl = new QLineEdit(this);
  tfUrl->setObjectName("tfRemoteUrl");
  tfToken = new QLineEdit(this);
  tfToken->setObjectName("tfRemoteToken");
  for (QLineEdit* field : {tfUrl, tfToken}) {
    field->setReadOnly(true);
    // Wide enough for the whole 32-digit token: a text that must be copied whole is
    // shown whole.
    field->setMinimumWidth(field->fontMetrics().horizontalAdvance(QString(34, QChar('0'))));
  }
  btnCopyUrl = new QPushButton("复制", this);
  btnCopyUrl->setObjectName("btnCopyUrl");
  btnCopyToken = new QPushButton("复制", this);
  btnCopyToken->setObjectName("btnCopyToken");
  lblState = new QLabel(this);
  lblState->setObjectName("lblRemoteState");
  lblState->setWordWrap(true);
  lblState->setTextInteractionFlags(Qt::TextSelectableByMouse);

  auto* fields = new QGridLayout;
  fields->addWidget(new QLabel("地址：", this), 0, 0);
  fields->addWidget(tfUrl, 0, 1);
  fields->addWidget(btnCopyUrl, 0, 2);
  fields->addWidget(new QLabel("令牌：", this), 1, 0);
  fields->addWidget(tfToken, 1, 1);
  fields->addWidget(btnCopyToken, 1, 2);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(chkRemoteControl);
  layout->addLayout(fields);
  layout->addWidget(lblState);
  layout->addWidget(buttons);

  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(chkRemoteControl, &QCheckBox::clicked, this, [this](bool on) {
    this->control.setEnabled(on);
    refresh();
  });
  connect(btnCopyUrl, &QPushButton::clicked, this, [this] { copy(tfUrl); });
  connect(btnCopyToken, &QPushButton::clicked, this, [this] { copy(tfToken); });
  connect(&control, &RemoteControl::stateChanged, this, &RemoteControlDialog::refresh);
  refresh();
}

void RemoteControlDialog::refresh() {
  const bool on = control.isEnabled();
  chkRemoteControl->setChecked(on);
  tfUrl->setText(control.url());
  tfToken->setText(control.token());
  tfUrl->setCursorPosition(0);
  tfToken->setCursorPosition(0);
  btnCopyUrl->setEnabled(!tfUrl->text().isEmpty());
  btnCopyToken->setEnabled(!tfToken->text().isEmpty());
  QPalette palette = lblState->palette();
  palette.setColor(QPalette::WindowText, palette.color(QPalette::Active, QPalette::WindowText));
  if (!on) {
    lblState->setText("已关闭：不监听任何端口（命令行 cueboard 不受影响）。");
  } else if (control.api() != nullptr) {
    lblState->setText(QString("正在监听 %1，请求须带上令牌（HTTP 头 Authorization: Bearer "
                              "<令牌>，WebSocket 连 %2/ws?token=<令牌>）。")
                          .arg(control.url(), QString(control.url()).replace("http:", "ws:")));
  } else {
    lblState->setText("无法开启：" + control.problem());
    palette.setColor(QPalette::WindowText, Qt::red);
  }
  lblState->setPalette(palette);
}

void RemoteControlDialog::copy(const QLineEdit* field) {
  QGuiApplication::clipboard()->setText(field->text());
}
