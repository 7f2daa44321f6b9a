#pragma once

#include "update/makedownloadreplacelistfunc.h"

#include <QDir>
#include <QString>
#include <QStringList>
#include <QVariant>

// What the tool's readers of product inis (those of earlier releases and
// those that mirrors serve) take as the updater takes it.
namespace ProductIniReading {

// The largest product ini that the updater fetches.
constexpr qint64 MaxSize = 32 * 1024 * 1024;

// A value as its text: an unquoted value with a "," reads as a list.
inline QString valueText(const QVariant &value)
{
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

// A path that the updater joins to a directory as it stands and that the
// publisher writes the same way: relative, without "..", "." or empty
// components, valid UTF-8 without control characters.
inline bool isPlainRelativePath(const QString &path)
{
    return !path.isEmpty() && MakeDownloadReplaceListFunc::isSafeRelativePath(path)
        && MakeDownloadReplaceListFunc::isFetchableName(path) && QDir::cleanPath(path) == path
        && path != QLatin1String(".");
}

} // namespace ProductIniReading
