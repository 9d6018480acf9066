#include "Command2.h"

#include <QEvent>
#include <QPointer>

#include "Dialog1.h"
#include "Form1.h"
#include "TreeView.h"

namespace
{

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
        search::Engine().TreeGone();
}

bool MainWindowWatch::eventFilter(QObject *, QEvent *event)
{
    // Closing hides the window for good; minimising hides it only spontaneously.
    if (event->type() == QEvent::Hide && !event->spontaneous() && watch == this)
        search::Engine().TreeGone();
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
    window->show();
    window->raise();
    window->activateWindow();
}
