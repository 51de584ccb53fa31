// The window registry: every window of the client exists at most once.
//
// A window is created on first use, either shown or only loaded (built, not shown), and discarded
// when it is unloaded, that is when it is closed: by its own code, by its close box, or by another
// window calling Window<W>::unload(). The next use creates it anew, from its design values. While it
// exists, any window reaches it, and its controls, through Window<W>::get().
//
//     Window<W>::get()     the existing window, or nullptr when it is not loaded
//     Window<W>::load()    the existing window, or a new one, built but not shown
//     Window<W>::show()    load(), then show it modeless and bring it to the front
//     Window<W>::unload()  close the window if it is loaded (runs its unload handler; discarded)
//     Window<W>::exec()    load(), then show it modal and wait until it is closed (dialogs only)
//
// How to write a window W (frmMain, frmAddress and frmabout are written this way):
//   1. A class derived from QMainWindow, QDialog or QWidget, named as the window, with a public
//      constructor `explicit W(QWidget *parent = nullptr)`. The registry passes no parent: every
//      window is top-level. The constructor builds every control (public member pointer AND
//      objectName, both the control's name) and then runs the window's load handler.
//   2. Never `new W` or put W on the stack outside tests of W itself: always go through Window<W>.
//      The registry sets Qt::WA_DeleteOnClose; the window must not clear it.
//   3. The unload handler: for a QMainWindow or QWidget, override closeEvent(); for a QDialog,
//      override done() (OK, Cancel, Esc and the close box all end in done(); call QDialog::done()).
//      The handler must not call Window<W>::load()/show() of its own class.
//   4. Closing a window forgets it at once (get() returns nullptr from then on); the object itself
//      is deleted when control returns to the event loop (deleteLater), or, for a modal dialog,
//      when exec() returns.
//   5. To hide a window without discarding it, call hide(): it stays loaded.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QWidget>

#include <type_traits>

namespace quillet {

template<class W>
class Window
{
    static_assert(std::is_base_of_v<QWidget, W>, "a window is a QWidget");

public:
    static W *get()
    {
        W *w = instance.data();
        if (!w)
            return nullptr;
        // Qt clears WA_DeleteOnClose when a close is accepted and the window is on its way out;
        // a modal dialog runs with the attribute cleared until exec() returns (and deletes it).
        if (!w->testAttribute(Qt::WA_DeleteOnClose) && !w->testAttribute(Qt::WA_ShowModal))
            return nullptr;
        return w;
    }

    static W *load()
    {
        if (W *w = get())
            return w;
        W *w = new W(nullptr);
        w->setAttribute(Qt::WA_DeleteOnClose);
        instance = w;
        return w;
    }

    static W *show()
    {
        W *w = load();
        w->setWindowState(w->windowState() & ~Qt::WindowMinimized);
        w->show();
        w->raise();
        w->activateWindow();
        return w;
    }

    static void unload()
    {
        if (W *w = get())
            w->close();
    }

    static int exec()
        requires std::is_base_of_v<QDialog, W>
    {
        return load()->exec();
    }

private:
    static inline QPointer<W> instance;
};

} // namespace quillet
