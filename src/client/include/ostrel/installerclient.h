#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

namespace Ostrel {

class InstallerClientPrivate;

/*!
    \class Ostrel::InstallerClient
    \brief Runs ostrel-installer for an updater and reports how the install goes.

    An updater sets the source package directory and the destination, connects
    to the signals and calls start(). The client makes a private socket
    directory (mode 0700) for the run, listens there as \c OstrelUpdater,
    starts the installer with \c TMPDIR set to that directory and the
    arguments \c{SOURCE DESTINATION [--atomic] [--changed-only] [--keep-previous]}
    (or, for rollback(), \c{--rollback DESTINATION}), and reads its progress
    messages. Only a connection from the installer process itself (or one of
    its children) is taken as the installer; any other is closed at once.

    Everything happens in the event loop of the thread the client lives in;
    no call blocks it. One client runs one install or rollback at a time; it
    can be started again once finished() has been emitted.

    \code
    auto *client = new Ostrel::InstallerClient(this);
    client->setSource(downloadedPackage);
    // A directory that holds the application and nothing else: all of it is
    // replaced. Never a shared one such as the parent of /usr/bin.
    client->setDestination(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + "/app");
    client->setAtomic(true);
    connect(client, &Ostrel::InstallerClient::progress, bar, [bar](int done, int total) {
        bar->setMaximum(total);
        bar->setValue(done);
    });
    connect(client, &Ostrel::InstallerClient::phaseChanged, label, [label](auto phase, const QString &file) {
        label->setText(Ostrel::InstallerClient::describePhase(phase, file));
    });
    connect(client, &Ostrel::InstallerClient::finished, this, &Updater::installFinished);
    client->start();
    \endcode

    Destroying the client while the installer runs kills the installer,
    which is safe (no partial file is ever left), but cancel() and waiting
    for finished() lets it end in order.
*/
class InstallerClient : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString installerProgram READ installerProgram WRITE setInstallerProgram)
    Q_PROPERTY(QString source READ source WRITE setSource)
    Q_PROPERTY(QString destination READ destination WRITE setDestination)
    Q_PROPERTY(bool atomic READ isAtomic WRITE setAtomic)
    Q_PROPERTY(bool changedOnly READ isChangedOnly WRITE setChangedOnly)
    Q_PROPERTY(bool keepPrevious READ keepsPrevious WRITE setKeepPrevious)
    Q_PROPERTY(QString logFile READ logFile WRITE setLogFile)
    Q_PROPERTY(bool running READ isRunning)

public:
    /*!
        How an install or a rollback ended. The installer's exit status and
        whether its done message arrived decide it together; finished()
        carries it with a one-line reason. A rollback ends RolledBack,
        RefusedNothingKept, NoUpdater, RefusedBusy, RefusedAtomicImpossible
        or, as any run, Interrupted, ProtocolError, Crashed or FailedToStart.
    */
    enum Outcome {
        Installed,               //!< every file and link installed (status 0, done message received)
        InstalledWithFailures,   //!< the install ran to the end, but something failed (status 4; see the log)
        RefusedSourceMissing,    //!< the source does not exist or cannot be opened; nothing touched (2)
        RefusedOverlap,          //!< source and destination overlap; nothing touched (5)
        RefusedNotADirectory,    //!< the source is not a directory; nothing touched (1)
        RefusedBusy,             //!< another install into the destination is running; nothing touched (6)
        RefusedAtomicImpossible, //!< atomic: the destination cannot be swapped in one step; nothing touched (8)
        Abandoned,               //!< atomic: the install failed and was undone; the destination is unchanged (7)
        Interrupted,             //!< stopped by cancel()
        NoUpdater,               //!< the installer found nobody listening (3); nothing touched
        ProtocolError,           //!< the progress messages were malformed, or the done message never came
        Crashed,                 //!< killed by a signal not sent by cancel(), or an exit status it never gives
        FailedToStart,           //!< the installer could not be started (or the client could not set up the run)
        RolledBack,              //!< rollback(): the destination and the kept version exchanged (status 0, done message)
        RefusedNothingKept,      //!< rollback(): no previous version of the destination is kept; nothing touched (9)
    };
    Q_ENUM(Outcome)

    /*!
        What the installer is doing, as its diagnostic lines tell; phases
        only move forward. The atomic ones come only with setAtomic(). An
        install goes from Clearing to Syncing, and an atomic one on to
        Swapping and then RemovingPrevious or KeepingPrevious (or, failed,
        to RemovingAbandoned); a rollback goes from RollingBack to Swapping.
    */
    enum Phase {
        Starting,          //!< started, checking its arguments and connecting
        Clearing,          //!< removing what the destination held (atomic: what a failed install left beside it)
        Copying,           //!< copying the files (started() has been emitted)
        Linking,           //!< creating the symbolic links
        Syncing,           //!< writing everything to disk
        Swapping,          //!< atomic: putting the new version (rollback: the kept one) in place, in one step
        RemovingPrevious,  //!< atomic: removing the previous version, once the new one is in place
        RemovingAbandoned, //!< atomic: removing the new version of an install that failed
        KeepingPrevious,   //!< setKeepPrevious(): keeping the previous version, removing one kept before
        RollingBack,       //!< rollback(): the kept version is found; the swap follows
    };
    Q_ENUM(Phase)

    //! A short text for the user, "copying lib/big.so" for example.
    static QString describePhase(Phase phase, const QString &file = QString());

    explicit InstallerClient(QObject *parent = nullptr);
    ~InstallerClient() override;

    /*!
        The installer to run. By default the \c ostrel-installer next to the
        application's executable, else the one found in \c PATH.
    */
    QString installerProgram() const;
    void setInstallerProgram(const QString &program);

    //! The package directory to install.
    QString source() const;
    void setSource(const QString &directory);

    //! The directory to install into. Everything in it is replaced.
    QString destination() const;
    void setDestination(const QString &directory);

    /*!
        Whether the new version is built beside the destination and swapped in
        at once (\c --atomic). Off by default.
    */
    bool isAtomic() const;
    void setAtomic(bool atomic);

    /*!
        Whether the files of the destination that are unchanged (same size,
        modification time and permission bits, one link, the installing
        user's) are kept instead of written again (\c --changed-only): the
        result is the same tree, at the cost of what changed. Off by default.
    */
    bool isChangedOnly() const;
    void setChangedOnly(bool changedOnly);

    /*!
        Whether the install keeps the version it replaces in a hidden sibling
        of the destination, \c{.<name>.ostrel-previous}, instead of removing
        it (\c --keep-previous), so that rollback() can bring it back; a
        version kept before is removed then. Requires setAtomic(true): without
        it start() finishes at once with FailedToStart. Off by default.
    */
    bool keepsPrevious() const;
    void setKeepPrevious(bool keepPrevious);

    /*!
        A file that receives the installer's diagnostic lines as they come
        (truncated at start()); empty (the default) for none. logLine() is
        emitted either way. A file inside the destination, which the install
        empties, is refused: the run finishes at once with FailedToStart.
    */
    QString logFile() const;
    void setLogFile(const QString &path);

    //! Whether an install was started and has not finished yet.
    bool isRunning() const;

    //! The installer found next to the application or in \c PATH; empty if none.
    static QString defaultInstallerProgram();

public Q_SLOTS:
    /*!
        Starts the install. Does nothing while a run is going. When the run
        cannot even begin (no source or destination set, setKeepPrevious()
        without setAtomic(), the socket directory or the log file cannot be
        made, the installer cannot be started), finished() follows from the
        event loop with FailedToStart.
    */
    void start();
    /*!
        Starts a rollback of the destination (no source needed): the
        installer exchanges it with the version an install with
        setKeepPrevious() kept, in one step, so that the version it held is
        kept in turn and a second rollback brings it back. Its progress
        comes as an install's: started() with no files, the phases
        RollingBack and Swapping, then finished() with RolledBack, or
        RefusedNothingKept when no version is kept. Does nothing while a run
        is going; fails to start as start() does.
    */
    void rollback();
    /*!
        Asks the installer to stop (SIGTERM). It stops between files, so no
        partial file is left; finished() follows with Interrupted, unless the
        installer had already ended on its own.
    */
    void cancel();

Q_SIGNALS:
    //! The installer has counted the package: \a total files will follow.
    void started(int total);
    //! \a done of \a total files are installed; once per file.
    void progress(int done, int total);
    /*!
        The installer has moved on to \a phase (\a file empty), or, while
        copying, one file has taken longer than a second: \a file is its
        path inside the package.
    */
    void phaseChanged(Ostrel::InstallerClient::Phase phase, const QString &file);
    //! One diagnostic line from the installer, without its line feed, as it arrives.
    void logLine(const QByteArray &line);
    /*!
        The run is over: the installer has exited and its connection is closed.
        \a exitStatus is the installer's exit status, 128 + N when it was
        killed by signal N, or -1 when it was not started. \a reason says in
        one line what happened, for the user or a log.
    */
    void finished(Ostrel::InstallerClient::Outcome outcome, int exitStatus, const QString &reason);

private:
    // Runs the installer with these arguments after its name.
    void run(const QStringList &arguments);
    // Ends a run that could not begin with FailedToStart and this reason.
    void refuse(const QString &reason);
    void finishRun();

    std::unique_ptr<InstallerClientPrivate> d;
};

} // namespace Ostrel
