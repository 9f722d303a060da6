#include "ui/SystemFileTypes.h"

#include <QMimeDatabase>

#include "ui/QtPrompt.h"

void LoadSystemFileTypes(FileTypeIndex& index, int image) {
  const QMimeDatabase db;
  QStringList suffixes;
  for (const QMimeType& type : db.allMimeTypes()) suffixes += type.suffixes();
  suffixes.removeDuplicates();
  index.Clear();
  for (const QString& suffix : suffixes) {
    const QList<QMimeType> types = db.mimeTypesForFileName(QStringLiteral("x.") + suffix);
    if (types.isEmpty() || types.front().comment().isEmpty()) continue;
    index.Add(FromQ(suffix), FromQ(types.front().comment()), image);
  }
}
