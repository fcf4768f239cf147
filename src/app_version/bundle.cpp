#include "bundle.h"

#include <QCoreApplication>

Bundle Bundle::main()
{
    Bundle bundle;
    bundle.identifier = QStringLiteral("com.quillfen.burrowlens");
    bundle.infoDictionary.insert(QStringLiteral("CFBundleShortVersionString"), QStringLiteral(BL_SHORT_VERSION));
    bundle.infoDictionary.insert(QStringLiteral("CFBundleVersion"), QStringLiteral(BL_BUILD_VERSION));
    if (QCoreApplication::instance())
        bundle.executablePath = QCoreApplication::applicationFilePath();
    return bundle;
}
