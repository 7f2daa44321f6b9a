#pragma once

#include "update/filedownloadspecification.h"
#include "update/filereplacespecification.h"
#include "update/patchlistspecification.h"

#include <QList>
#include <QString>

// The three lists of one update run, compiled from the product ini: files to
// download, installed files to replace, and files to delete (relative to the
// application root); and the patch list that [General] names, if any. The main task owns one and lends
// its lists to the steps.
struct FileSpecifications
{
    QList<FileDownloadSpecification> downloads;
    QList<FileReplaceSpecification> replaces;
    QList<QString> deletes;
    // The first entries of deletes, those [delete] names; after them come
    // what interrupted runs left and the set-aside copies of replaced files.
    int obsoleteCount = 0;
    PatchListSpecification patchList;

    void clear();
};
