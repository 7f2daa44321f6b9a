#pragma once

#include "tasks/asyncfunc.h"
#include "update/filespecifications.h"

#include <QString>

#include <memory>

struct RunSettings;

// Compiles the download, replace and delete lists of a run from the product
// ini in the temporary directory, comparing MD5 sums with the installed files
// and with earlier downloads. Runs on a pool thread; fills only the working
// copy it shares with its task, which it keeps alive while it runs. Reports
// "Compiling download and replace list", progress per key (in key order) and
// its result once.
class MakeDownloadReplaceListFunc : public ASyncFunc
{
    Q_OBJECT
public:
    // Takes the paths, the client type and the verify flag from the settings
    // here, on the main thread; they are not touched again.
    MakeDownloadReplaceListFunc(const RunSettings &settings,
                                std::shared_ptr<FileSpecifications> lists);

    bool run() override;

    // The patch list that the value of [General]'s key names; empty, after a
    // warning, if the value is not "<safe name>::<md5>::<size>".
    PatchListSpecification readPatchList(const QString &value);

    std::shared_ptr<FileSpecifications> m_lists;

private:
    QString m_appRoot;
    QString m_tempDir;
    QString m_clientType;
    QString m_updaterPath;
    bool m_verifyAll = false;
};
