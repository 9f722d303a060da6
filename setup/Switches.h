// The start-up switches and the install-or-run decision, without windows:
// the window layer shows the run-mode dialog and the wizard.
#pragma once
#include <string>
#include <vector>

enum class StartupAction {
  Uninstall,   // "/uninstall": ask, remove, report, end
  Run,         // an installed copy, the build's own or a packaged one
  AskRunMode,  // any other copy: install or just run
};

// Switches are whole arguments ("/uninstall" or "--uninstall"), never a
// part of one: an image path holding the word starts normally.
bool HasUninstallSwitch(const std::vector<std::string>& args);
// The copy below the build's output folder or under /usr never asks.
bool IsBuildOrPackagedCopy(const std::string& programPath);
StartupAction DecideStartup(const std::vector<std::string>& args, const std::string& programPath);
// The run-mode dialog preselects Run for a file named like the program.
bool PreselectRun(const std::string& programPath);
// "/uninstall": asks, removes what install wrote and reports; the
// program then ends.
void RunUninstall();
