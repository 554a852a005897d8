#pragma once

#include <QFile>
#include <QString>

#include <optional>
#include <pwd.h>
#include <unistd.h>

// Permission failures cannot be provoked as root, which reads and writes
// everything; the steps that need them run as an unprivileged account.
struct UserIds
{
    uid_t uid;
    gid_t gid;
};

// "nobody", when the tests run as root and the account exists; otherwise
// there is no way to switch to another user.
inline std::optional<UserIds> unprivilegedUser()
{
    if (::geteuid() != 0)
        return std::nullopt;
    const passwd *account = ::getpwnam("nobody");
    if (!account)
        return std::nullopt;
    return UserIds{account->pw_uid, account->pw_gid};
}

inline bool giveTo(const QString &path, UserIds user)
{
    return ::lchown(QFile::encodeName(path).constData(), user.uid, user.gid) == 0;
}
