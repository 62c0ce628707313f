// The window on Qt's offscreen platform over the services of start-up
// (ServicesFixture). Shared by the widget tests (window_test) and the
// window's fault tests.
#pragma once

#include "support/window_support.h"
#include "window/main_window.h"

#include <QTest>

#include <memory>

namespace tavrelle::testing {

class WindowFixture : public ServicesFixture {
protected:
    std::unique_ptr<window::MainWindow> form;

    // Builds the window, which runs start-up.
    window::MainWindow& start()
    {
        form = std::make_unique<window::MainWindow>(window::WindowServices{service, presenter, pump, settingsPath});
        return *form;
    }
    window::MainWindow& show()
    {
        form->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        return *form;
    }
    // A started, shown window, with the calls start-up made forgotten.
    window::MainWindow& startShown()
    {
        start();
        show();
        service.calls.clear();
        return *form;
    }
    void tap(QWidget* target, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QTest::keyPress(target, key, modifiers);
        QTest::keyRelease(target, key, modifiers);
    }
};

}  // namespace tavrelle::testing
