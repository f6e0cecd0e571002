#include "board/SoundButton.h"

#include <QHelpEvent>
#include <QPainter>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QTextLayout>
#include <QToolTip>
#include <algorithm>
#include <cmath>

namespace {
constexpr int kPadding = 4;    // between the bevel's contents and the title
constexpr int kBarHeight = 3;  // the progress bar along the bottom edge

// A greyed version of the title's colour, whatever the theme and the title colour.
QColor faded(QColor colour) {
  colour.setAlphaF(0.4f);
  return colour;
}
}  // namespace

SoundButton::SoundButton(QWidget* parent) : QPushButton(parent) {}

QString SoundButton::fitTitle(const QString& title, const QFont& font, int width, int maxLines) {
  if (title.isEmpty() || width <= 0 || maxLines <= 0) return QString();
  const QFontMetrics metrics(font);
  QTextLayout layout(title, font);
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  QStringList lines;
  layout.beginLayout();
  for (int i = 0;; ++i) {
    QTextLine line = layout.createLine();
    if (!line.isValid()) break;
    line.setLineWidth(width);
    if (i == maxLines - 1) {
      // The last line allowed takes all the rest, elided to the width.
      lines << metrics.elidedText(title.mid(line.textStart()).simplified(), Qt::ElideRight, width);
      break;
    }
    lines << title.mid(line.textStart(), line.textLength()).trimmed();
  }
  layout.endLayout();
  lines.removeAll(QString());
  return lines.join('\n');
}

QRect SoundButton::titleRect() const {
  QStyleOptionButton option;
  initStyleOption(&option);
  QRect contents = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
  contents.adjust(kPadding, kPadding, -kPadding, -kPadding - kBarHeight);
  return contents;
}

// Two lines where they fit; a button shrunk for a small screen shows one whole line
// rather than two cut ones.
int SoundButton::linesThatFit(const QRect& area) const {
  const QFontMetrics metrics = fontMetrics();
  return metrics.height() + metrics.lineSpacing() <= area.height() ? 2 : 1;
}

QString SoundButton::displayedTitle() const {
  const QRect area = titleRect();
  return fitTitle(text(), font(), area.width(), linesThatFit(area));
}

QString SoundButton::toolTipText() const {
  if (_missingFile.isEmpty()) return text();
  return text().isEmpty() ? _missingFile : text() + "\n" + _missingFile;
}

void SoundButton::setPlaying(double position, double duration) {
  _playing = true;
  _position = std::max(0.0, position);
  _duration = std::max(0.0, duration);
  update();
}

void SoundButton::clearPlaying() {
  if (!_playing) return;
  _playing = false;
  _position = _duration = 0;
  update();
}

double SoundButton::progress() const {
  if (!_playing || _duration <= 0) return 0;
  return std::clamp(_position / _duration, 0.0, 1.0);
}

QString SoundButton::remainingTimeText() const {
  if (!_playing || _duration <= 0) return QString();
  const int left = static_cast<int>(std::ceil(std::max(0.0, _duration - _position)));
  return QString("%1:%2").arg(left / 60).arg(left % 60, 2, 10, QChar('0'));
}

void SoundButton::setMissingFile(const QString& description) {
  if (_missingFile == description) return;
  _missingFile = description;
  update();
}

void SoundButton::setDropTarget(bool on) {
  if (_dropTarget == on) return;
  _dropTarget = on;
  update();
}

void SoundButton::setCutMarked(bool on) {
  if (_cut == on) return;
  _cut = on;
  update();
}

// The title never widens a button: the grid shares the window's width equally.
QSize SoundButton::sizeHint() const {
  QStyleOptionButton option;
  initStyleOption(&option);
  option.text = "MMMM";
  const QSize text = fontMetrics().size(Qt::TextShowMnemonic, option.text);
  return style()->sizeFromContents(QStyle::CT_PushButton, &option, text, this);
}

QSize SoundButton::minimumSizeHint() const { return sizeHint(); }

bool SoundButton::event(QEvent* event) {
  if (event->type() == QEvent::ToolTip) {
    const QString tip = toolTipText();
    if (tip.isEmpty()) {
      QToolTip::hideText();
      event->ignore();
    } else {
      QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), tip, this);
    }
    return true;
  }
  return QPushButton::event(event);
}

void SoundButton::paintEvent(QPaintEvent*) {
  QStylePainter painter(this);
  QStyleOptionButton option;
  initStyleOption(&option);
  option.text.clear();  // drawn below, as typed and fitted
  painter.drawControl(QStyle::CE_PushButton, option);

  const QColor highlight = palette().color(QPalette::Highlight);
  if (_playing) {
    QColor tint = highlight;
    tint.setAlpha(60);
    const QRect inner = rect().adjusted(2, 2, -2, -2);
    painter.fillRect(inner, tint);
    painter.setPen(QPen(highlight, 2));
    painter.drawRect(inner.adjusted(1, 1, -1, -1));
    if (_duration > 0) {
      const QRect bar(inner.left() + 1, inner.bottom() - kBarHeight, inner.width() - 2, kBarHeight);
      painter.fillRect(
          QRect(bar.topLeft(), QSize(static_cast<int>(bar.width() * progress()), bar.height())),
          highlight);
      QFont small = font();
      small.setPointSizeF(std::max(7.0, font().pointSizeF() * 0.7));
      painter.setFont(small);
      painter.setPen(palette().color(QPalette::ButtonText));
      painter.drawText(inner.adjusted(3, 1, -3, -kBarHeight - 1), Qt::AlignRight | Qt::AlignTop,
                       remainingTimeText());
      painter.setFont(font());
    }
  }

  if (_dropTarget || _cut) {
    const QRect frame = rect().adjusted(2, 2, -3, -3);
    painter.setPen(_dropTarget ? QPen(highlight, 3)
                               : QPen(palette().color(QPalette::ButtonText), 1, Qt::DashLine));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(frame);
  }

  const QRect area = titleRect();
  const QColor titleColour =
      isMissingFileMarked() ? faded(palette().color(QPalette::ButtonText))
                            : palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                              QPalette::ButtonText);
  painter.setPen(titleColour);
  painter.drawText(area, Qt::AlignCenter,
                   fitTitle(text(), font(), area.width(), linesThatFit(area)));
}
