#include "update/filespecifications.h"

void FileSpecifications::clear()
{
    downloads.clear();
    replaces.clear();
    deletes.clear();
    listed.clear();
    patchList = PatchListSpecification();
}
