#include "setup/Switches.h"

#include <climits>
#include <cstdlib>
#include <strings.h>

#include "foundation/UiServices.h"
#include "setup/Install.h"

namespace {
std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}
}  // namespace

bool HasUninstallSwitch(const std::vector<std::string>& args) {
  for (size_t i = 1; i < args.size(); ++i)
    if (args[i] == "/uninstall" || args[i] == "--uninstall") return true;
  return false;
}

bool IsBuildOrPackagedCopy(const std::string& programPath) {
  const std::string real = RealPath(programPath);
  if (real.empty()) return false;
#ifdef DV_BUILD_OUTPUT_DIR
  const std::string build = RealPath(DV_BUILD_OUTPUT_DIR);
  if (!build.empty() && PathIsInside(real, build)) return true;
#endif
  return PathIsInside(real, "/usr");
}

StartupAction DecideStartup(const std::vector<std::string>& args, const std::string& programPath) {
  if (HasUninstallSwitch(args)) return StartupAction::Uninstall;
  if (IsBuildOrPackagedCopy(programPath) || IsInstalledCopy(programPath)) return StartupAction::Run;
  return StartupAction::AskRunMode;
}

bool PreselectRun(const std::string& programPath) {
  const size_t slash = programPath.rfind('/');
  const std::string base = slash == std::string::npos ? programPath : programPath.substr(slash + 1);
  return strncasecmp(base.c_str(), "Delvora", 7) == 0;
}

void RunUninstall() {
  if (Prompt().MessageBox(FormatW(u"Are you sure you want to completely uninstall %s and all of its components?",
                                  kProductVersion),
                          kProductName, kMbYesNo | kMbIconQuestion) != kIdYes)
    return;
  InstallInfo info;
  if (InstalledLocation().empty()) {
    ShowMessage(kMbIconInformation, u"%s is not installed for this user or for this computer.", kProductVersion);
    return;
  }
  if (info.Remove(false)) {
    ShowMessage(kMbIconInformation, u"%s was successfully removed from your computer.", kProductVersion);
    return;
  }
  WString list;
  for (const auto& l : info.left) list += u"\n" + FromUtf8(l);
  Prompt().MessageBox(
      FormatW(u"Uninstalling %s completes but some elements could not be removed. These can be removed manually.\n%s",
              kProductVersion, list),
      kProductName, kMbOk | kMbIconWarning);
}
