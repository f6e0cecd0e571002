#include "library/ContextMenus.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QStyle>
#include <functional>
#include <map>
#include <utility>

using namespace menu_titles;

namespace {
constexpr const char* kMenuProperty = "cueboardContextMenu";

// A round status light, like the desktop's "available" and "partly available" dots.
QIcon statusLight(const QColor& color) {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(color.darker(140));
  painter.setBrush(color);
  painter.drawEllipse(QRectF(3.5, 3.5, 9, 9));
  return QIcon(pixmap);
}

QIcon themed(const char* themeName, QStyle::StandardPixmap fallback) {
  return QIcon::fromTheme(themeName, QApplication::style()->standardIcon(fallback));
}
}  // namespace

const MenuItems& classMenuItems() {
  static const MenuItems items = {
      {1, {kAddMusicBatch, "NSTouchBarAddTemplate"}},
      {2, {kClearClassHotkeys, "NSTouchBarRemoveTemplate"}},
      {3, {kDeleteClassMusic, "NSTouchBarDeleteTemplate"}},
      {4, {kRestoreBackup, "NSTouchBarHistoryTemplate"}},
      {5, {kExportLibrary, "NSShareTemplate"}},
      {6, {kImportLibrary, "NSTouchBarDownloadTemplate"}},
  };
  return items;
}

const MenuItems& musicMenuItems() {
  static const MenuItems items = {
      {1, {kAddMusic, "NSTouchBarAddTemplate"}},
      {2, {kAddMusicBatch, "NSTouchBarAddTemplate"}},
      {3, {kEditHotkey, "NSTouchBarComposeTemplate"}},
      {4, {kEditMusic, "NSTouchBarComposeTemplate"}},
      {5, {kDeleteMusic, "NSTouchBarDeleteTemplate"}},
      {6, {kCutMusic, "NSStatusPartiallyAvailable"}},
      {7, {kPasteMusic, "NSStatusAvailable"}},
      {8, {kCopyRemoteCommand, "edit-copy"}},
  };
  return items;
}

bool classMenuHasSeparatorBefore(int item) { return item == 2 || item == 3 || item == 4; }
bool musicMenuHasSeparatorBefore(int item) {
  return item == 3 || item == 5 || item == 6 || item == 8;
}

namespace {
QIcon lookUpStandardImage(const std::string& name) {
  if (name == "NSTouchBarAddTemplate") return themed("list-add", QStyle::SP_FileDialogNewFolder);
  if (name == "NSTouchBarRemoveTemplate")
    return themed("list-remove", QStyle::SP_DialogResetButton);
  if (name == "NSTouchBarDeleteTemplate") return themed("edit-delete", QStyle::SP_TrashIcon);
  if (name == "NSTouchBarComposeTemplate") {
    return themed("document-edit", QStyle::SP_FileDialogDetailedView);
  }
  if (name == "NSTouchBarHistoryTemplate") {
    return themed("document-revert", QStyle::SP_BrowserReload);
  }
  if (name == "NSShareTemplate") return themed("document-export", QStyle::SP_DialogSaveButton);
  if (name == "NSTouchBarDownloadTemplate") {
    return themed("document-import", QStyle::SP_DialogOpenButton);
  }
  if (name == "NSStatusPartiallyAvailable") return statusLight(QColor(0xF5, 0xC2, 0x11));
  if (name == "NSStatusAvailable") return statusLight(QColor(0x2E, 0xC2, 0x4F));
  if (name == "edit-copy") return themed("edit-copy", QStyle::SP_FileLinkIcon);
  return QIcon();
}
}  // namespace

// Each image is looked up once: a theme lookup searches the icon folders (hundreds of
// failed file lookups on a desktop without that theme), and the board's 45 menus ask
// for the same few images again and again while the window is built.
QIcon standardImageNamed(const std::string& name) {
  // Main thread only. Never destroyed: an icon must not outlive the application
  // object's teardown at exit.
  static auto* const looked = new std::map<std::string, QIcon>();
  const auto found = looked->find(name);
  if (found != looked->end()) return found->second;
  return looked->emplace(name, lookUpStandardImage(name)).first->second;
}

namespace {
// What a button's menu is made of, until it is first wanted; then the menu itself.
class ContextMenuRecipe : public QObject {
 public:
  ContextMenuRecipe(QPushButton* button, const char* title, const MenuItems& items,
                    bool (*separatorBefore)(int), int tag, std::function<void(QAction*)> action,
                    std::function<void(QMenu*)> built)
      : QObject(button),
        button(button),
        title(title),
        items(items),
        separatorBefore(separatorBefore),
        tag(tag),
        action(std::move(action)),
        built(std::move(built)) {}

  QMenu* menu() {
    if (!made) made = build();
    return made;
  }
  QMenu* menuIfBuilt() const { return made; }

 private:
  QMenu* build() {
    auto* menu = new QMenu(QString::fromUtf8(title), button);
    for (int i = 1; i <= static_cast<int>(items.size()); ++i) {
      const auto found = items.find(i);
      if (found == items.end()) continue;
      if (separatorBefore(i)) menu->addSeparator();
      auto* item = new QAction(QString::fromStdString(found->second.title), menu);
      item->setShortcut(QKeySequence(QString::number(i)));
      // The key equivalent works inside the open menu only, never as a window shortcut.
      item->setShortcutContext(Qt::WidgetShortcut);
      item->setProperty("tag", tag);
      item->setIcon(standardImageNamed(found->second.ico));
      item->setIconVisibleInMenu(true);
      QObject::connect(item, &QAction::triggered, menu, [item, action = action] { action(item); });
      menu->addAction(item);
    }
    if (built) built(menu);
    return menu;
  }

  QPushButton* button;
  const char* title;
  const MenuItems& items;
  bool (*separatorBefore)(int);
  int tag;
  std::function<void(QAction*)> action;
  std::function<void(QMenu*)> built;
  QMenu* made = nullptr;
};

ContextMenuRecipe* recipeOf(const QPushButton* button) {
  return dynamic_cast<ContextMenuRecipe*>(button->property(kMenuProperty).value<QObject*>());
}
}  // namespace

void attachContextMenu(QPushButton* button, const char* title, const MenuItems& items,
                       bool (*separatorBefore)(int), int tag, std::function<void(QAction*)> action,
                       std::function<void(QMenu*)> built) {
  auto* recipe = new ContextMenuRecipe(button, title, items, separatorBefore, tag,
                                       std::move(action), std::move(built));
  button->setProperty(kMenuProperty, QVariant::fromValue(static_cast<QObject*>(recipe)));
  button->setContextMenuPolicy(Qt::CustomContextMenu);
  QObject::connect(
      button, &QWidget::customContextMenuRequested, recipe,
      [button, recipe](const QPoint& pos) { recipe->menu()->popup(button->mapToGlobal(pos)); });
}

QMenu* contextMenuOf(const QPushButton* button) {
  ContextMenuRecipe* recipe = recipeOf(button);
  return recipe ? recipe->menu() : nullptr;
}

QMenu* builtContextMenuOf(const QPushButton* button) {
  ContextMenuRecipe* recipe = recipeOf(button);
  return recipe ? recipe->menuIfBuilt() : nullptr;
}
