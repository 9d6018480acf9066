#include "Command2.h"

#include <QEvent>
#include <QPointer>
#include <QPushButton>
#include <QWindow>

#include "Dialog1.h"
#include "Form1.h"
#include "TreeView.h"
#include "Unhandled.h"

namespace
{

// Stacking only: the window manager keeps the search window above the main window, whose
// tree takes the focus at each find. The search window stays without an owner otherwise.
void stackAbove(Dialog1 &window, Form1 &form)
{
    window.winId();
    form.winId();
    window.windowHandle()->setTransientParent(form.windowHandle());
}

// The search has no tree any more. A window with a transient parent does not keep the
// program running, so the search window stands on its own from here on.
void treeGone()
{
    search::Engine().TreeGone();
    if (Dialog1 *window = Dialog1::Loaded(); window && window->windowHandle())
        window->windowHandle()->setTransientParent(nullptr);
}

// Watches the main window whose tree the search last took: once that window is closed or
// destroyed, the search has no tree, while the search window may stay open on its own.
class MainWindowWatch : public QObject
{
public:
    explicit MainWindowWatch(Form1 &form) : QObject(&form) { form.installEventFilter(this); }
    ~MainWindowWatch() override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};

QPointer<MainWindowWatch> watch;

// Dies with its window's children, before the tree is gone for good.
MainWindowWatch::~MainWindowWatch()
{
    if (watch == this)
        treeGone();
}

bool MainWindowWatch::eventFilter(QObject *, QEvent *event)
{
    // Closing hides the window for good; minimising hides it only spontaneously.
    if (event->type() == QEvent::Hide && !event->spontaneous() && watch == this)
        treeGone();
    return false;
}

void watchMainWindow(Form1 &form)
{
    if (watch && watch->parent() == &form)
        return;
    MainWindowWatch *previous = watch;
    watch = new MainWindowWatch(form);
    delete previous;
}

} // namespace

void Command2_Click(Form1 &form)
{
    watchMainWindow(form);
    search::Engine().Command2_Click(*form.TreeView1);
    Dialog1 *window = Dialog1::Loaded();
    if (!window) {
        window = new Dialog1;
        window->Form_Load();
    }
    stackAbove(*window, form);
    window->show();
    window->raise();
    window->activateWindow();
}

void ConnectSearch(Form1 &form)
{
    QObject::connect(form.Command2, &QPushButton::clicked, &form,
                     app::Handler([&form](bool) { Command2_Click(form); }));
    QObject::connect(&form, &Form1::FindNextRequested, &form, app::Handler([] {
        if (Dialog1 *window = Dialog1::Loaded())
            window->OKButton->click();
    }));
}
