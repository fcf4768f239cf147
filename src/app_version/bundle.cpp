#include "bundle.h"

#include "app_identifiers.h"

#include <QCoreApplication>

Bundle Bundle::main()
{
    Bundle bundle;
    bundle.identifier = app_identifiers::kReverseDns;
    bundle.infoDictionary.insert(QStringLiteral("CFBundleShortVersionString"), QStringLiteral(BL_SHORT_VERSION));
    bundle.infoDictionary.insert(QStringLiteral("CFBundleVersion"), QStringLiteral(BL_BUILD_VERSION));
    if (QCoreApplication::instance())
        bundle.executablePath = QCoreApplication::applicationFilePath();
    return bundle;
}
