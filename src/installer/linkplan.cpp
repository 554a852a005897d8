#include "linkplan.h"

#include "nativename.h"
#include "posixfs.h"

#include <optional>

namespace {

// `path` below `root` as components (".", "" left out); nothing when it is
// not below it, or climbs with "..", which only the kernel can resolve.
std::optional<QList<QByteArray>> componentsBelow(const QByteArray &path, const QByteArray &root)
{
    if (root.isEmpty() || (path != root && !path.startsWith(root.endsWith('/') ? root : root + '/')))
        return std::nullopt;
    QList<QByteArray> components;
    for (const QByteArray &component : path.mid(root.size()).split('/')) {
        if (component == "..")
            return std::nullopt;
        if (!component.isEmpty() && component != ".")
            components.append(component);
    }
    return components;
}

} // namespace

LinkPlan::LinkPlan(const QByteArray &source, const QByteArray &realSource, int destinationRoot, Placement placement)
    : source(source)
    , realSource(realSource)
    , destinationRoot(destinationRoot)
    , placement(placement)
{
}

QByteArray LinkPlan::textInDestination(const QByteArray &text, const DirectoryJob &directory) const
{
    if (!text.startsWith('/'))
        return text;
    auto target = componentsBelow(text, source);
    if (!target)
        target = componentsBelow(text, realSource);
    if (!target)
        return text;
    const QByteArray relative = directory.relativePath();
    const QList<QByteArray> from = relative.isEmpty() ? QList<QByteArray>() : relative.split('/');
    qsizetype common = 0;
    while (common < from.size() && common < target->size() && from[common] == target->at(common))
        ++common;
    QList<QByteArray> steps(from.size() - common, QByteArray(".."));
    steps += target->mid(common);
    return steps.isEmpty() ? QByteArray(".") : steps.join('/');
}

QString LinkPlan::record(const QString &installedAt, const DirectoryJob &directory, const QByteArray &name,
                         const DirectoryJob::Link &link)
{
    if (link.text.isEmpty())
        return QString();
    const QByteArray text = textInDestination(link.text, directory);
    pending.insert(installedAt, {&directory, name, text, {link.times[0], link.times[1]}});
    return decodeFileName(text);
}

Result LinkPlan::create(const QString &installedAt)
{
    const auto found = pending.constFind(installedAt);
    // An empty target can never be a link.
    if (found == pending.cend())
        return Result::failure(ENOENT);
    const int directory = copyOf(found->directory);
    if (directory < 0)
        return Result::failure(openDirectory.error());
    const char *name = found->name.constData();
    const QByteArray &text = found->text;
    const Result created = placement != Placement::Replacing
            ? createSymlinkAt(directory, name, text)
            : replaceEntry(directory, name, [&](const char *temporary) { return createSymlinkAt(directory, temporary, text); });
    if (!created.ok())
        return created;
    // The link is in place; should its times not take, that is no reason
    // to call it missing.
    static_cast<void>(setLinkTimes(directory, name, found->times));
    return Result::success();
}

int LinkPlan::copyOf(const DirectoryJob *directory)
{
    if (!directory->parent)
        return destinationRoot;
    if (openDirectoryOf != directory) {
        openDirectory = openDirectoryBelow(destinationRoot, directory->relativePath());
        openDirectoryOf = directory;
    }
    return openDirectory.get();
}
