#include "operator_dialogs.h"

#include <QDir>

QString defaultChooserDirectory() {
#ifdef Q_OS_WIN
    return QStringLiteral("c:/");
#else
    return QDir::homePath();
#endif
}
