// The help-file object: the program carries its help as one HTML file,
// written out when the user asks for help, at a place chosen so that the
// write does not land on the drive being recovered, and shown by the
// window layer. It is used on the user-interface thread; the recovery
// worker only tells it the source drive.
#pragma once
#include <atomic>
#include <functional>
#include <string>
#include <string_view>

#include "platform/Text.h"

class Drive;

class HelpFile {
 public:
  HelpFile();
  ~HelpFile();  // removes a private temporary folder it made
  HelpFile(const HelpFile&) = delete;
  HelpFile& operator=(const HelpFile&) = delete;

  // Opens the topic ("html\afxcNNNN.htm"): 1 when a help window shows it.
  int Open(WStringView topic);
  // Before a recovery writes: whether the program's own folder lies on the
  // source. Once unsafe, unsafe for the run.
  void UpdateDriveInUse(Drive* source);
  // The path of a file that holds the help, written when needed; "" when
  // none could be written (the last error says why).
  std::string Extract();
  // 1 same, 0 different (or a link), -1 cannot be read.
  static int CompareHelpFile(const std::string& path, std::string_view data);
  // The help, compiled in.
  static std::string_view Content();
  // "html\afxc0ynh.htm" -> "afxc0ynh".
  static std::string AnchorOf(WStringView topic);

  // ---- filled by the window layer ----
  // The warning dialog: kIdOk or kIdCancel; *dontShowAgain the check box.
  std::function<int(bool* dontShowAgain)> askLaunch;
  // Shows the file at the anchor; true when a window shows it.
  std::function<bool(const std::string& path, const std::string& anchor)> show;
  // Rows of the view's file list, -1 when there is no view.
  std::function<int()> listRows;
  // The window's current source, or null.
  std::function<Drive*()> currentDrive;

  // ---- state (tests read and set it) ----
  int warning = 1;
  std::atomic<int> driveState{-1};  // -1 unknown, 0 program on the source, 1 safe
  std::string programPath;           // the running program
  std::string path1, path2;          // beside the program; in a private folder

 private:
  std::string TempFolder();
  std::string madeFolder_;  // a mkdtemp folder to remove at exit
};

extern HelpFile* g_helpFile;  // made by the application's start-up
// Opens a help topic through the help-file object; 0 when there is none.
int OpenHelpTopic(WStringView topic);
