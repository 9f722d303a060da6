// The registry of image files shown in a combo box: the window layer's
// half of CImgFile (the registry itself knows no windows).
#pragma once

class CImgFile;
class QComboBox;

namespace CImgFileUi {
// Appends every registered path, in the registry's order, at the end.
void FillCombo(const CImgFile& images, QComboBox* combo);
}  // namespace CImgFileUi
