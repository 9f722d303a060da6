// The icon of a file type, as the desktop gives it: extension -> MIME type
// (the system's MIME database) -> the theme's icon of the type, else its
// generic icon, else the program's own document picture.
#pragma once
#include <QIcon>
#include <QString>

struct TypeIconNames {
  QString mimeType;     // empty when the database does not know the extension
  QString iconName;     // the type's own icon name ("image-png")
  QString genericIcon;  // its generic icon name ("image-x-generic")
};
// The names for an extension (without the dot, any case).
TypeIconNames IconNamesForExtension(const QString& extension);
// The icon drawn for an extension; one lookup per extension (cached).
QIcon IconForExtension(const QString& extension);
