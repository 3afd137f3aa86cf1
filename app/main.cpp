#include <QApplication>

#include "logger.h"
#include "mainwidget.h"
#include "resources_init.h"

#ifdef Q_OS_WIN
#include <QTextCodec>
#endif

using namespace refl;

int main(int argc, char* argv[]) {
    int result = 0;
    {
        QApplication app(argc, argv);
        initReflectivityResources();
        Logger logger{QString()};
        logger.install(QString());
        {
            mainWidget window;
            window.show();
            result = app.exec();
        }
    }
    return result;
}
