#include "fileops/fileophook.h"

#include <atomic>

namespace {
std::atomic<FileOpHook::Hook> currentHook {nullptr};
}

void FileOpHook::set(Hook hook)
{
    currentHook.store(hook);
}

void FileOpHook::reached()
{
    if (const Hook hook = currentHook.load())
        hook();
}
