#pragma once

// Tests only: a function called before each change an update makes to the
// installation (a directory made, a file linked, renamed, deleted, created,
// half written or given its mode), and before a patch copies a file it reads,
// from whichever thread gets there, so that a test can stop the process at
// any of them or change the file. No hook is set in the product.
namespace FileOpHook {

using Hook = void (*)();

void set(Hook hook);
// Calls the hook, if one is set.
void reached();

} // namespace FileOpHook
