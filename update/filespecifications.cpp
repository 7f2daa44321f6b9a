#include "update/filespecifications.h"

void FileSpecifications::clear()
{
    downloads.clear();
    replaces.clear();
    deletes.clear();
    obsoleteCount = 0;
    patchList = PatchListSpecification();
}
