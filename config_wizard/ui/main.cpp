// valdrin_config: edits valdrin.conf, by default the one beside the program.
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>

#include "ini_file_store.h"
#include "qt_dialogs.h"
#include "vbconfig.h"
#include "wizard.h"

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("valdrin_config"));
    QApplication::setApplicationVersion(QStringLiteral(VALDRIN_VERSION));

    const QDir program_dir(QCoreApplication::applicationDirPath());
    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral("Valdrin Proxy Server - Configuration Wizard"));
    options.addHelpOption();
    options.addVersionOption();
    const QCommandLineOption config(QStringLiteral("config"),
                                    QStringLiteral("Edit the configuration file <path> (default: %1).")
                                        .arg(program_dir.filePath(QStringLiteral("valdrin.conf"))),
                                    QStringLiteral("path"));
    options.addOption(config);
    options.process(app);

    const kel::wizard::WizardPaths paths{
        options.isSet(config) ? QDir::current().absoluteFilePath(options.value(config))
                              : program_dir.filePath(QStringLiteral("valdrin.conf")),
        program_dir.filePath(QStringLiteral("valdrin.conf.default"))};

    kel::wizard::IniFileStore store;
    kel::wizard::QtPrompter prompter;
    kel::wizard::QtMessageBoxes boxes;
    kel::wizard::DesktopUrlOpener opener;
    kel::wizard::Wizard wizard(store, boxes, prompter, paths);
    kel::wizard::VBConfig window(wizard, opener, program_dir.absolutePath());
    prompter.set_parent(&window);
    boxes.set_parent(&window);
    window.open();
    window.show();
    return app.exec();
}
