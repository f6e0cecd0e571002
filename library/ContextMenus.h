// The right-click menus of the board's buttons: what each menu holds (titles, images,
// separators, key equivalents) and how one is built for a button. Each of the five
// category buttons and the 40 sound buttons gets its own menu, owned by its button and
// built the first time it is wanted (45 menus built ahead would hold up the window's
// first showing); every item carries the tag of its button, so a command knows which
// button it acts on whatever was clicked before.
//
// Thread-safety: main (GUI) thread only.
#pragma once

#include <QIcon>
#include <functional>
#include <map>
#include <string>

class QAction;
class QMenu;
class QPushButton;

// One menu item: its title (the commands are recognised by it) and the name of the
// standard image shown beside it.
struct mi {
  std::string title;
  std::string ico;
};
using MenuItems = std::map<int, mi>;  // item number (1, 2, ...) to item

namespace menu_titles {
inline constexpr const char* kClassMenu = "分类右键菜单";
inline constexpr const char* kMusicMenu = "音效右键菜单";
inline constexpr const char* kAddMusic = "添加音效（单个）";
inline constexpr const char* kAddMusicBatch = "添加音效（批量，只填充空白按钮）";
inline constexpr const char* kEditHotkey = "修改自定义快捷键";
inline constexpr const char* kEditMusic = "修改音效";
inline constexpr const char* kDeleteMusic = "删除音效";
inline constexpr const char* kCutMusic = "剪切音效";
inline constexpr const char* kPasteMusic = "粘贴音效";
inline constexpr const char* kClearClassHotkeys = "删除本分类自定义快捷键";
inline constexpr const char* kDeleteClassMusic = "删除本分类全部音效";
inline constexpr const char* kRestoreBackup = "恢复备份…";
inline constexpr const char* kExportLibrary = "导出音效库…";
inline constexpr const char* kImportLibrary = "导入音效库…";
inline constexpr const char* kCopyRemoteCommand = "复制远程命令";
}  // namespace menu_titles

const MenuItems& classMenuItems();
const MenuItems& musicMenuItems();
bool classMenuHasSeparatorBefore(int item);
bool musicMenuHasSeparatorBefore(int item);

// The closest icon the desktop theme (or Qt's own style) has for a standard image name;
// a null icon for a name it does not know.
QIcon standardImageNamed(const std::string& name);

// Gives `button` a menu that opens on a right-click or the keyboard's menu key. The menu
// is built (and then owned by the button) the first time it is opened or asked for with
// contextMenuOf(). Item i gets the key equivalent "i", the tag `tag` and, when chosen,
// calls `action` with itself; `built`, when given, is called with the menu once it is
// built, before it first shows.
void attachContextMenu(QPushButton* button, const char* title, const MenuItems& items,
                       bool (*separatorBefore)(int), int tag, std::function<void(QAction*)> action,
                       std::function<void(QMenu*)> built = {});

// The menu attached to `button`, built now if it was not yet; nullptr when the button
// has none.
QMenu* contextMenuOf(const QPushButton* button);

// The menu attached to `button` if it has been built; nullptr otherwise.
QMenu* builtContextMenuOf(const QPushButton* button);
