#include "hardlinks.h"

HardLinks::Claim::Claim(Claim &&other) noexcept
    : owner(other.owner)
    , inode(other.inode)
    , existing(std::move(other.existing))
{
    other.owner = nullptr;
}

void HardLinks::Claim::finished(const Copy &made)
{
    if (!owner)
        return;
    owner->finish(inode, made);
    owner = nullptr;
}

HardLinks::Claim HardLinks::claim(Inode inode)
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        const auto [found, isNew] = copies.try_emplace(inode);
        if (isNew)
            return Claim(this, inode);
        if (found->second.directory)
            return Claim(found->second);
        copyFinished.wait(lock);
    }
}

void HardLinks::finish(Inode inode, const Copy &made)
{
    // Nothing here allocates: a claim given up while memory runs out still
    // lets the others go on.
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = copies.find(inode);
        if (made.directory)
            found->second = made;
        else
            copies.erase(found);
    }
    copyFinished.notify_all();
}
