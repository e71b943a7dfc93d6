#include "HandOff.h"

#include "Logging.h"

namespace {

// The journal's keys: stored files from earlier versions use the same.
const QLatin1String installKey("installPath");
const QLatin1String stagingKey("updatePath");
const QLatin1String logKey("logFileName");
const QLatin1String configKey("configFileName");
const QLatin1String versionKey("version");

} // namespace

QStringList HandOff::arguments() const
{
    return {addSpFlag(installPath), addSpFlag(stagingPath), logFileName, configFileName, version};
}

bool HandOff::fromArguments(const QStringList &arguments, HandOff *handOff)
{
    if (arguments.size() != 5)
        return false;
    handOff->installPath = removeSpFlag(arguments.at(0));
    handOff->stagingPath = removeSpFlag(arguments.at(1));
    handOff->logFileName = arguments.at(2);
    handOff->configFileName = arguments.at(3);
    handOff->version = arguments.at(4);
    return true;
}

QJsonObject HandOff::toJson() const
{
    return {{installKey, installPath},
            {stagingKey, stagingPath},
            {logKey, logFileName},
            {configKey, configFileName},
            {versionKey, version}};
}

HandOff HandOff::fromJson(const QJsonObject &object)
{
    HandOff handOff;
    handOff.installPath = object.value(installKey).toString();
    handOff.stagingPath = object.value(stagingKey).toString();
    handOff.logFileName = object.value(logKey).toString();
    handOff.configFileName = object.value(configKey).toString();
    handOff.version = object.value(versionKey).toString();
    return handOff;
}

bool HandOff::operator==(const HandOff &other) const
{
    return installPath == other.installPath && stagingPath == other.stagingPath && logFileName == other.logFileName
        && configFileName == other.configFileName && version == other.version;
}
