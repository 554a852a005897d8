#include "install.h"

#include <QtGlobal>

#include <cstdlib>

namespace {

Install *runningInstall = nullptr;

} // namespace

Install::Install(const NativePath &source, const NativePath &destination, const InstallMode &mode, OutputFlusher &output)
    : source(source)
    , atomic(mode.atomic)
    , changedOnly(mode.changedOnly)
    , keepPrevious(mode.keepPrevious)
    , output(output)
    , destination(destination, mode.atomic, mode.changedOnly)
{
    Q_ASSERT(!runningInstall);
    runningInstall = this;
}

Install::~Install()
{
    runningInstall = nullptr;
}

Install &Install::running(const char *step)
{
    if (!runningInstall)
        qFatal("%s: no install is running", step);
    return *runningInstall;
}

Result Install::openSource()
{
    sourceFd = openDirectory(source.native());
    if (!sourceFd.isValid())
        return Result::failure(sourceFd.error());
    if (char *real = ::realpath(source.native().constData(), nullptr)) {
        realSource = real;
        std::free(real);
    }
    return Result::success();
}

uint Install::startCopy()
{
    engine = std::make_unique<CopyEngine>(sourceFd.get(), destination.root(), CopyEngine::defaultJobs(), destination.placement(),
                                          destination.previousVersion());
    linkPlan = std::make_unique<LinkPlan>(source.native(), realSource, destination.root(), destination.placement());
    return engine->walk();
}
