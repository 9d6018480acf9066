// hakomi: lists the entries of every ZIP archive below a folder as a tree.
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include "Command2.h"
#include "Form1.h"
#include "Unhandled.h"

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("hakomi"));
    QApplication::setDesktopFileName(QStringLiteral("hakomi"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/hakomi.png")));

    // An error that ends a handler is shown, and the program goes on.
    app::SetUnhandledErrorReporter([](const std::string &message) {
        QMessageBox box(
            QMessageBox::Critical, QStringLiteral("箱のポムリは何だろな？"),
            QStringLiteral("エラーが発生しました。\n\n%1").arg(QString::fromStdString(message)),
            QMessageBox::Ok);
        box.exec();
    });

    Form1 form;
    QObject::connect(form.Command2, &QPushButton::clicked, &form,
                     app::Handler([&form](bool) { Command2_Click(form); }));
    app::Handler([&form] { form.Form_Load(); })();
    form.show();
    return application.exec();
}
