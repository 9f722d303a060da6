#include "ui/ImageFilesCombo.h"

#include <QComboBox>

#include "storage/ImageFiles.h"
#include "ui/QtPrompt.h"

void CImgFileUi::FillCombo(const CImgFile& images, QComboBox* combo) {
  if (!combo) return;
  for (const WString& path : images.Paths()) combo->addItem(ToQ(path));
}
