#include "fileops/backgrounddeletetaskspecification.h"

#include "fileops/fileophook.h"
#include "tasks/asyncfunc.h"
#include "tasks/foldersync.h"

#include <QFile>

#include <cerrno>
#include <unistd.h>

namespace {

class DeleteFunc : public ASyncFunc
{
public:
    DeleteFunc(const QString &path, std::shared_ptr<std::atomic<int>> outcome)
        : m_path(path)
        , m_outcome(std::move(outcome))
    { }

    bool run() override
    {
        FileOpHook::reached();
        using Outcome = BackgroundDeleteTaskSpecification::Outcome;
        if (::unlink(QFile::encodeName(m_path).constData()) == 0) {
            FolderSync::noteChangeOf(m_path);
            m_outcome->store(Outcome::Deleted);
        } else {
            m_outcome->store(errno == ENOENT || errno == ENOTDIR ? Outcome::NotThere
                                                                 : Outcome::Stays);
        }
        return true;
    }

private:
    const QString m_path;
    const std::shared_ptr<std::atomic<int>> m_outcome;
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
    // A fresh cell for each run: a result still on its way from an earlier
    // one writes only to its own.
    m_outcome = std::make_shared<std::atomic<int>>(NotRun);
    return new DeleteFunc(targetPath, m_outcome);
}
