#include "ui/FileTypeIcons.h"

#include <QHash>
#include <QMimeDatabase>
#include <QMutex>

#include "resources/Icons.h"

TypeIconNames IconNamesForExtension(const QString& extension) {
  TypeIconNames names;
  if (extension.isEmpty()) return names;
  static const QMimeDatabase db;
  const QList<QMimeType> types = db.mimeTypesForFileName(QStringLiteral("x.") + extension);
  if (types.isEmpty()) return names;
  names.mimeType = types.front().name();
  names.iconName = types.front().iconName();
  names.genericIcon = types.front().genericIconName();
  return names;
}

QIcon IconForExtension(const QString& extension) {
  static QMutex mutex;
  static QHash<QString, QIcon> cache;
  const QString key = extension.toLower();
  {
    QMutexLocker lock(&mutex);
    auto it = cache.constFind(key);
    if (it != cache.constEnd()) return *it;
  }
  const TypeIconNames names = IconNamesForExtension(key);
  QIcon icon;
  if (!names.iconName.isEmpty()) icon = QIcon::fromTheme(names.iconName);
  if (icon.isNull() && !names.genericIcon.isEmpty()) icon = QIcon::fromTheme(names.genericIcon);
  if (icon.isNull()) icon = dvres::Icon(dvres::Image::FileDoc);
  QMutexLocker lock(&mutex);
  cache.insert(key, icon);
  return icon;
}
