#pragma once

// Tests only: a function called before each change an update makes to the
// installation (a directory made, a file linked, renamed, deleted, created,
// half written or given its mode), from whichever thread makes it, so that a
// test can stop the process at any of them. No hook is set in the product.
namespace FileOpHook {

using Hook = void (*)();

void set(Hook hook);
// Calls the hook, if one is set.
void reached();

} // namespace FileOpHook
