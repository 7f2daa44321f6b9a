#pragma once

#include "ui/mainwindow.h"

// The window with its engine and its start-up and quit state open to tests.
class TestableMainWindow : public MainWindow
{
public:
    using MainWindow::MainWindow;
    using MainWindow::m_engine;
    using MainWindow::m_quitAfterCancel;
    using MainWindow::m_startClient;
    using MainWindow::onEventLoopStarted;
};
