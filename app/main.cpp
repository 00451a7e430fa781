// The updater: started without arguments in the point-of-sale program's
// folder, it shows its window and runs the update once.
#include <cstdio>
#include <exception>

#include "app/RunEnvironment.h"
#include "app/UAtualizarVersaoVendarix.h"
#include "app/UpdaterConfig.h"
#include "db/DBTables.h"
#include "platform/Application.h"
#include "platform/Files.h"
#include "platform/Text.h"

using namespace vx::app;
using namespace vx::db;
using namespace vx::platform;

int main(int argc, char** argv) {
    // The application (event loop, display) comes up first; the table
    // password is given to the engine's session before any window exists.
    TApplication app(argc, argv);
    TUpdaterSetup setup;
    setup.Environment = std::make_unique<TPlatformRunEnvironment>();
    try {
        Session().AddPassword("7302518");
        Session().Start();
        setup.Ftp = ApplyFtpEnvironment(CompiledFtpSettings());
        // A key that is not one stops the updater before its window opens;
        // the run reads the setting again when it starts.
        SigningKeyFromText(setup.Environment->SigningKeyText());
        // Windows puts a program it cannot start in its intended folder in
        // its own folder instead: no shop is there, and the run must not
        // set a program aside or leave downloads among the system's files.
        if (WorkingFolderIsSystemFolder())
            throw Exception("the working folder is the system's own, not the program's: nothing was done");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", app.Title().c_str(), AnsiToUtf8(e.what()).c_str());
        return 2;
    }
    setup.EndWhenRunEnds = app.Unattended();
    TFAtualizarVersaoVendarix form(std::move(setup));
    form.Show();
    app.Run();
    return form.ExitCode();
}
