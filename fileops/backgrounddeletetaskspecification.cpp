#include "fileops/backgrounddeletetaskspecification.h"

#include "fileops/fileophook.h"
#include "tasks/asyncfunc.h"
#include "tasks/foldersync.h"

#include <QFile>

namespace {

class DeleteFunc : public ASyncFunc
{
public:
    explicit DeleteFunc(const QString &path)
        : m_path(path)
    { }

    bool run() override
    {
        FileOpHook::reached();
        if (QFile::remove(m_path))
            FolderSync::noteChangeOf(m_path);
        return true;
    }

private:
    const QString m_path;
};

} // namespace

BackgroundDeleteTaskSpecification::BackgroundDeleteTaskSpecification(const QString &targetPath,
                                                                     QObject *parent,
                                                                     double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange)
    , targetPath(targetPath)
{ }

ASyncFunc *BackgroundDeleteTaskSpecification::createFunction()
{
    return new DeleteFunc(targetPath);
}
