// The composition root: the one place where the program's objects are created and wired.
#include "app/shell/Application.h"
#include "platform/MessageBox.h"

#include <QDir>
#include <cstdlib>
#include <memory>

int main(int argc, char** argv) {
    norvale::TApplication app(argc, argv);

    // Headless runs (tests, scripted checks) print message boxes instead of waiting for a click.
    std::unique_ptr<norvale::IMessageBox> messages;
    if (const char* v = std::getenv("NORVALE_PRINT_MESSAGES"); v && *v == '1')
        messages = std::make_unique<norvale::PrintingMessageBox>();
    else
        messages = std::make_unique<norvale::QtMessageBox>();

    norvale::StartupOptions options;
    options.exeDir = QCoreApplication::applicationDirPath() + QLatin1Char('/');
    options.messages = messages.get();
    return norvale::runNorvale(app, options);
}
