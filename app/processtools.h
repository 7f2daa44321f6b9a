#pragma once

// Operations on processes of the updater.
class ProcessTools
{
public:
    // Starts the client's start script in the application root as a detached
    // process without arguments; the updater does not wait for it and does not
    // learn whether it started.
    static void startMrvClient();
};
