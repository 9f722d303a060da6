#include "ui/core/ViewLayout.h"

#include <algorithm>

#include "foundation/Messages.h"
#include "ui/core/CommandIds.h"

namespace {
const int kLayoutTable[10][11] = {
    {10, 75, 10, 55, 75, 110, 125, 23, 25, 110, 120}, {10, 75, 10, 65, 95, 30, 170, 23, 25, 120, 185},
    {10, 75, 10, 77, 91, 70, 140, 23, 25, 120, 120},  {10, 75, 10, 65, 85, 75, 180, 23, 25, 140, 160},
    {10, 55, 10, 65, 82, 140, 125, 23, 25, 125, 135}, {10, 65, 10, 65, 85, 110, 175, 23, 25, 110, 130},
    {10, 65, 10, 60, 80, 80, 140, 23, 25, 90, 120},   {10, 80, 10, 50, 70, 80, 150, 23, 25, 110, 130},
    {10, 75, 10, 65, 85, 110, 155, 23, 25, 130, 130}, {10, 75, 10, 77, 91, 80, 140, 23, 25, 120, 120},
};
}  // namespace

LayoutValues ScaledLayout(int language, double scale) {
  if (language < 0 || language > 9) language = 0;
  LayoutValues v;
  for (int i = 0; i < 11; i++) v.L[size_t(i)] = int(kLayoutTable[language][i] * scale);
  v.L[7] = std::max(v.L[7], 20);
  return v;
}

int TopBandHeight(double scale) { return std::max(75, int(scale * 87)) + 43; }

ViewGeometry ComputeViewGeometry(int cx, int cy, const LayoutValues& lv, double scale, const ViewMetrics& m) {
  const auto& L = lv.L;
  ViewGeometry g;
  const int band = TopBandHeight(scale);
  // Tab buttons along the top, 35 pixels high.
  const int tabH = 35;
  g.tab1 = {0, 0, L[9], tabH};
  g.tab2 = {L[9] + 1, 0, L[10], tabH};
  // Scan step: two label/box rows, the Mode group with the radios, the Scan button.
  const int rowY1 = tabH + L[0];
  const int rowY2 = rowY1 + L[8] + 4;
  const int boxW = std::max(40, cx - m.scanButtonWidth - 4 * L[2] - L[4] - L[1] - L[0]);
  g.lookForLabel = {L[0], rowY1 + 3, L[1], L[7]};
  g.lookForBox = {L[0] + L[1], rowY1, boxW, m.comboHeight};
  g.lookInLabel = {L[0], rowY2 + 3, L[1], L[7]};
  g.lookInBox = {L[0] + L[1], rowY2, boxW, m.comboHeight};
  const int radioX = boxW + 3 * L[2] + L[1] + L[0];
  g.modeGroup = {radioX - L[2], rowY1 - 8, L[4] + L[2], rowY2 + m.comboHeight + 4 - (rowY1 - 8)};
  g.quickRadio = {radioX, rowY1 + 4, L[4] - 4, m.radioHeight};
  g.longRadio = {radioX, rowY2 + 2, L[4] - 4, m.radioHeight};
  g.scanButton = {cx - L[2] - m.scanButtonWidth, std::max(tabH + 2, (tabH + band - m.scanButtonHeight) / 2),
                  m.scanButtonWidth, m.scanButtonHeight};
  // Save step: "Save to" label and destination combo, the check box under
  // it, Browse left of Save.
  const int comboW = std::max(40, cx - 3 * L[2] - L[5] - L[0] - m.saveButtonWidth);
  g.saveToLabel = {L[0], rowY1 + 3, L[5], L[7]};
  g.saveToCombo = {L[0] + L[5], rowY1, comboW - m.browseButtonWidth - L[2], m.comboHeight};
  g.saveButton = {cx - L[2] - m.saveButtonWidth, g.scanButton.y, m.saveButtonWidth, m.saveButtonHeight};
  g.browseButton = {g.saveButton.x - L[2] - m.browseButtonWidth, rowY1 - 1, m.browseButtonWidth,
                    m.browseButtonHeight};
  g.useFolderNames = {L[0] + L[5], rowY2 + 2, std::max(40, L[6] + 40), m.radioHeight};
  // Results: the list (and in folder display the tree and the splitter bar).
  const int listX = m.folderDisplay ? m.splitter + 1 : 0;
  g.list = {listX, band, std::max(0, cx - listX), std::max(0, cy - band)};
  if (m.folderDisplay) {
    g.tree = {0, band, std::max(0, m.splitter - 2), std::max(0, cy - band)};
    g.splitterBar = {m.splitter - 2, band, 3, std::max(0, cy - band)};
  }
  g.splitterMin = 30;
  g.splitterMax = cx - 40;
  return g;
}

StepCaptions ComputeStepCaptions(bool saveGroupEnabled, int language) {
  StepCaptions c;
  if (saveGroupEnabled) {
    c.browse = Msg(language == 8 ? 443 : 3);
    c.save = Msg(84);
    c.scan = StripAccelerator(Msg(91));
  } else {
    c.browse = StripAccelerator(Msg(3));
    c.save = StripAccelerator(Msg(84));
    c.scan = Msg(91);
  }
  return c;
}

ShortcutResult MapShortcut(const ShortcutInput& in) {
  ShortcutResult r;
  if (in.key == kKeyF3) return {cmd::kProperties, true};
  if (in.listHasFocus && in.listShowsFolders) {
    if (in.key == kKeyEnter) return {kCmdOpenFolder, true};
    if (in.key == kKeyBackspace) return {kCmdParentFolder, true};
  }
  if (!in.ctrl) return r;
  if ((in.key == 'A' || in.key == 'D' || in.key == 'I') && !in.resultsHaveFocus) return r;
  switch (in.key) {
    case 'A': return {cmd::kSelectAll, true};
    case 'D': return {cmd::kDeselectAll, true};
    case 'I': return {cmd::kInvert, true};
    case 'F':
      // Passed on to the window after opening Find.
      return {in.listEnabled && in.listRows > 0 ? cmd::kFind : 0, false};
    case 'P':
      if (in.activity == 1) return {cmd::kSave, true};
      if (in.activity == 0) return {cmd::kScan, true};
      return {0, true};
    case 'R':
      return {in.activity != 1 && in.step == 1 ? cmd::kSave : 0, true};
    case 'S':
      return {in.activity == -1 && in.step == 0 ? cmd::kScan : 0, true};
    default:
      return r;
  }
}
