#include "app/Environment.h"

#include <QtGlobal>

bool Environment::guiWatchdog()
{
    return qEnvironmentVariableIntValue(kGuiWatchdog) != 0;
}

bool Environment::manifestUrlSet()
{
    return qEnvironmentVariableIsSet(kManifestUrl);
}

QString Environment::manifestUrl()
{
    return qEnvironmentVariable(kManifestUrl);
}

QByteArray Environment::intakePortBase()
{
    return qgetenv(kIntakePortBase);
}

QString Environment::vcamDevice()
{
    return qEnvironmentVariable(kVcamDevice);
}

QString Environment::vcamSize()
{
    return qEnvironmentVariable(kVcamSize);
}

QString Environment::vcamTap()
{
    return qEnvironmentVariable(kVcamTap);
}

QString Environment::ndiRuntimeDir(const char *variable)
{
    return qEnvironmentVariable(variable);
}
