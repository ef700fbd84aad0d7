// Menus by resource number. Every action carries its command id (QAction::data, and its object
// name), so the frame and the pages dispatch by id and tests find items by number.
#pragma once

class QAction;
class QMenu;
class QMenuBar;
class QWidget;

namespace orvikdesk::menus {

// The popup at position `index` of menu resource `id`, parented to `parent`; null for an unknown one.
QMenu* popup(int id, int index, QWidget* parent);
// Fills a menu bar with the popups of menu resource `id`. Every popup that is or later gets into
// the bar is hidden while it has no visible item.
void fillMenuBar(QMenuBar* bar, int id);
// Hides the menu's entry in its parents, and its submenus', while it has no visible item; the
// factory's popups are watched already.
void hideWhenEmpty(QMenu* menu);

// The command id of an action; 0 for a separator or a submenu.
int commandOf(const QAction* action);
// The first action with this id in the menu or its submenus.
QAction* find(QMenu* menu, int id);

}  // namespace orvikdesk::menus
