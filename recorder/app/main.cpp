// tolvane: the screen recorder's bar.
#include <QApplication>
#include <QGuiApplication>
#include <QScreen>

#include <clocale>
#include <memory>

#include "commandline.h"
#include "crashhandler.h"
#include "crashreporttool.h"
#include "languagechoice.h"
#include "languagetable.h"
#include "mainframe.h"
#include "messagepresenter.h"
#include "qtmessagepresenter.h"
#include "settings.h"
#include "signalpipe.h"
#include "singleinstance.h"
#include "userfolders.h"
#include "windowactivator.h"

namespace {

// The folder of the running program, with its trailing separator.
std::string programFolder() {
    std::string path = CUserFolders::programPath();
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

int runBar(QApplication& app, const CCommandLine& commandLine) {
    const int language = CLanguageChoice::fromEnvironment();
    CLanguageTable::instance().load(language, programFolder() + "language.xml");

    // Dialogs and message boxes get the focus when they appear.
    CWindowActivator activator;

    CSingleInstance instance;
    if (instance.anotherInstanceRuns()) {
        CQtMessagePresenter messages(nullptr);
        messages.showMessage("ID_TEXT_MUT_TIP", "ID_TEXT_TIPS", IMessagePresenter::ICON_WARNING,
                             IMessagePresenter::BUTTONS_OK);
        return 0;
    }

    auto frame = std::make_unique<CMainFrame>(std::make_unique<CSettings>(), commandLine);
    // The bar's window is announced as soon as it exists, before the slower
    // rest of the creation (engine, devices, capture), so that a second
    // start in the meantime already finds it.
    if (!frame->create([&instance](unsigned long window) { instance.publish(window); })) return 0;

    // SIGTERM, SIGINT and the end of the session finish a running recording.
    CSignalPipe signalPipe;
    QObject::connect(&signalPipe, &CSignalPipe::terminationRequested, frame.get(), &CMainFrame::finishAndQuit);
    QObject::connect(&app, &QGuiApplication::commitDataRequest, frame.get(),
                     [&frame](QSessionManager&) { frame->control().finishForExit(); });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, frame.get(), [&frame] { frame->control().finishForExit(); });

    frame->showAfterCreation();
    int code = app.exec();
    frame.reset();
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    // First of all the crash handler: a crash from here on leaves a dump and
    // starts the crash-report tool.
    const std::string program = CCrashHandler::programPath();
    CCrashReportTool::prepare(program);
    CCrashHandler::install(program, CCrashReportTool::afterDump, nullptr);
    // The C library follows the user's locale for the Chinese and English texts.
    std::setlocale(LC_ALL, "");
    // On a Wayland desktop the bar runs under XWayland: its docking, the
    // region frame and the single-instance property are X11 features. The
    // screen itself is read through the screen-cast portal there.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    QApplication::setApplicationName("Tolvane");
    // Without a desktop theme Qt falls back to its old Windows look; message
    // boxes and the few standard controls look current in Fusion.
    if (qEnvironmentVariableIsEmpty("QT_STYLE_OVERRIDE")) QApplication::setStyle("Fusion");
    QApplication::setQuitOnLastWindowClosed(false);
    const int code = runBar(app, CCommandLine::fromArguments(argc, argv));
    CCrashHandler::uninstall();
    return code;
}
