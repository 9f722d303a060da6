// The main menu: the menu model's structure on the shared command actions,
// each item with its image (the command's toolbar image, the Scan and Save
// images, the running image while Scan or Save runs) and, after the tab,
// the key the view binds to the command. Qt's style draws the icons, the
// checks and the greyed icons of disabled items.
#pragma once
#include <QObject>

#include "ui/core/CommandState.h"

class CommandActions;
class QMenuBar;

class CMenuEx : public QObject {
  Q_OBJECT
 public:
  CMenuEx(CommandActions* actions, QObject* parent = nullptr);
  // Builds the menu bar (BuildMenu, Translate) and gives every item its
  // image and key.
  bool Load(QMenuBar* bar);
  // The images and keys for the view's state (the running image while Scan
  // or Save runs, Preview and List View images by the state).
  void Update(const ViewState& state);
  // Scan (recover false) or Save shows its running look while running.
  void SetRunning(bool recover, bool running) { (recover ? saveRunning_ : scanRunning_) = running; }
  // The image index an action shows now (-1 none).
  int ImageIndexOf(int command) const;

 private:
  CommandActions* actions_;
  int ActivityFor(int command) const;
  ViewState last_;
  bool scanRunning_ = false, saveRunning_ = false;
};
