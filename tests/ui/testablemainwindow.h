#pragma once

#include "app/startup.h"
#include "startupsettings.h"
#include "ui/mainwindow.h"

// The window with its engine and its start-up and quit state open to tests;
// made from a configuration and connected to it as start-up does.
class TestableMainWindow : public MainWindow
{
public:
    explicit TestableMainWindow(Configuration &configuration)
        : MainWindow(startupSettings(configuration))
    {
        Startup::connectWindow(*this, configuration);
    }
    using MainWindow::flushLog;
    using MainWindow::m_engine;
    using MainWindow::m_quitAfterCancel;
    using MainWindow::m_startClient;
    using MainWindow::onEventLoopStarted;
};
