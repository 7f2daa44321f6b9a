#pragma once

// Where the update engine stands. Separate from the task states, although
// three names are alike.
enum EngineState {
    EngineIdle = 0, // nothing prepared
    EngineReady = 1, // initialize() succeeded
    EngineRunning = 2, // a main task runs
    EngineFinished = 3, // the last run succeeded
    EngineCanceled = 4, // the last run was cancelled or failed
};
