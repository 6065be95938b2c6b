// Entry of the desktop program: the application with its title, the options,
// the one window, the message loop.
#include <unistd.h>

#include <QRadioButton>
#include <QTimer>
#include <cstdio>

#include "TransferApplication.h"
#include "TransferForm.h"
#include "WindowOptions.h"

int main(int argc, char** argv) {
    pos::app::TransferApplication app(argc, argv);

    pos::app::WindowOptions options = pos::app::defaultWindowOptions();
    QString message;
    switch (pos::app::parseWindowOptions(QApplication::arguments(), options, message)) {
        case pos::app::ParseResult::Ok:
            break;
        case pos::app::ParseResult::Help:
            std::fputs(qPrintable(message), stdout);
            return 0;
        case pos::app::ParseResult::BadUsage:
            std::fprintf(stderr, "%s\nTry --help.\n", qPrintable(message));
            return 2;
    }

    pos::app::TTransferForm form(options);

    if (!options.screenshotPath.empty()) {
        // A picture for the documentation: taken once the window has painted,
        // in import mode when asked (as if the user had clicked it). Set up
        // before showing, so that an error report at start-up cannot hold it.
        if (options.screenshotImport) {
            QTimer::singleShot(200, &form, [&form] { form.imData()->click(); });
        }
        QTimer::singleShot(500, &form, [&form, &options] {
            const bool saved = form.grab().save(QString::fromStdString(options.screenshotPath));
            std::fflush(stdout);
            ::_exit(saved ? 0 : 1);
        });
    }
    form.show();
    return QApplication::exec();
}
