// The main window's menu as data: the top-level popups, their items, the
// submenus the program builds (Session, Disk Image, Scan and Save options,
// Arrange and Filter), and each item's text: the message of its command
// where that is not empty, else the menu's stored text.
#pragma once
#include <vector>

#include "platform/Text.h"

struct MenuItem {
  enum Kind { kCommand, kSeparator, kPopup };
  Kind kind = kCommand;
  int command = 0;  // kCommand (and the item a popup replaced)
  WString text;     // with "&" and, after a tab, the accelerator text
  std::vector<MenuItem> children;  // kPopup
};

// The five top-level popups: File, Edit, Options, View, Help.
std::vector<MenuItem> BuildMainMenu();
// The text of a command's item: the message, else the stored text.
WString MenuItemText(int command);
// Context menu of the list and the tree (menu 163, first popup): Select,
// Deselect, separator, Select All, Deselect All, Invert, separator,
// Properties; `preview` chooses the Properties text.
std::vector<MenuItem> BuildContextMenu(bool preview);
