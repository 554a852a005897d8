// ostrel-updater-example: the window an application's updater shows while
// ostrel-installer puts the new version in place.
//   ostrel-updater-example [--atomic [--keep-previous]] [--installer PATH] [--quit-when-done]
//                          [--roll-back-when-done] SOURCE DESTINATION
// Exits 0 when the package was installed (or, after Roll back, the previous
// version is back), 1 otherwise, once the window has been closed (at once
// with --quit-when-done, which also prints what the window showed last, for
// scripts that check it). An install that kept the previous version offers
// Roll back; --roll-back-when-done presses it, for scripts and demos.
#include <ostrel/installerclient.h>

#include <QApplication>
#include <QCloseEvent>
#include <QCommandLineParser>
#include <QHBoxLayout>
#include <QLabel>
#include <QMetaEnum>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstdio>

using Ostrel::InstallerClient;

struct WindowOptions
{
    bool quitWhenDone = false;
    bool rollBackWhenDone = false;
};

class UpdaterWindow : public QWidget
{
public:
    UpdaterWindow(InstallerClient *client, WindowOptions options)
        : client(client)
        , options(options)
    {
        setWindowTitle("Installing the update");
        auto *layout = new QVBoxLayout(this);
        layout->addWidget(status);
        layout->addWidget(bar);
        auto *buttons = new QHBoxLayout;
        buttons->addStretch();
        buttons->addWidget(rollBackButton);
        buttons->addWidget(button);
        layout->addLayout(buttons);
        rollBackButton->hide();
        bar->setRange(0, 0); // busy until the installer has counted the files

        connect(client, &InstallerClient::started, this, [this](int total) {
            bar->setRange(0, total);
            if (!rollingBack) // which counts no files: its phases say more
                status->setText(QString("Installing %1 files…").arg(total));
        });
        connect(client, &InstallerClient::progress, this, [this](int done, int total) {
            bar->setValue(done);
            status->setText(QString("Installed %1 of %2 files").arg(done).arg(total));
        });
        // Removing the previous version, syncing or one large file can take
        // long: the window says which. While copying, the count says enough.
        connect(client, &InstallerClient::phaseChanged, this, [this](InstallerClient::Phase phase, const QString &file) {
            if (phase == InstallerClient::Copying && file.isEmpty())
                return;
            QString text = InstallerClient::describePhase(phase, file);
            status->setText(text.left(1).toUpper() + text.mid(1) + "…");
        });
        connect(button, &QPushButton::clicked, this, [this, client] {
            if (client->isRunning()) {
                client->cancel();
                status->setText("Cancelling…");
            } else {
                close();
            }
        });
        connect(rollBackButton, &QPushButton::clicked, this, &UpdaterWindow::rollBack);
        connect(client, &InstallerClient::finished, this, [this](InstallerClient::Outcome outcome, int, const QString &reason) {
            result = outcome == InstallerClient::Installed || outcome == InstallerClient::RolledBack ? 0 : 1;
            const char *name = QMetaEnum::fromType<InstallerClient::Outcome>().valueToKey(outcome);
            std::fprintf(result ? stderr : stdout, "%s: %s\n", name, qPrintable(reason));
            status->setText(reason);
            // A range stops the busy animation: full when installed, empty
            // when not, with the reason shown as an error.
            bar->setRange(0, 1);
            bar->setValue(result == 0 ? 1 : 0);
            if (result != 0) {
                setWindowTitle(rollingBack ? "The rollback failed" : "The update failed");
                status->setStyleSheet("color: #b00020; font-weight: bold");
            }
            button->setText("Close");
            // Only an install that kept the previous version can be rolled back.
            if (outcome == InstallerClient::Installed && this->client->keepsPrevious()) {
                rollBackButton->show();
                if (this->options.rollBackWhenDone) {
                    // Pressed once finished() is over, as a user would.
                    QMetaObject::invokeMethod(rollBackButton, &QPushButton::click, Qt::QueuedConnection);
                    return;
                }
            }
            if (this->options.quitWhenDone) {
                std::printf("shown: %s | %s | bar %d of %d%s\n", qPrintable(windowTitle()), qPrintable(status->text()),
                            bar->value(), bar->maximum(), status->styleSheet().isEmpty() ? "" : " | as an error");
                close();
            }
        });
    }

    int result = 1;

protected:
    // Closing the window while the installer runs asks it to stop; the
    // window closes once it has.
    void closeEvent(QCloseEvent *event) override
    {
        if (!client->isRunning())
            return event->accept();
        event->ignore();
        client->cancel();
        status->setText("Cancelling…");
        connect(client, &InstallerClient::finished, this, &QWidget::close,
                Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection));
    }

private:
    // Puts the previous version back, shown as an install is.
    void rollBack()
    {
        rollingBack = true;
        rollBackButton->hide();
        setWindowTitle("Rolling back the update");
        status->setText("Rolling back…");
        bar->setRange(0, 0);
        button->setText("Cancel");
        client->rollback();
    }

    InstallerClient *client;
    const WindowOptions options;
    bool rollingBack = false;
    QLabel *status = new QLabel("Starting the installer…");
    QProgressBar *bar = new QProgressBar;
    QPushButton *rollBackButton = new QPushButton("Roll back");
    QPushButton *button = new QPushButton("Cancel");
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Installs SOURCE into DESTINATION (emptied first) in a progress window.");
    parser.addHelpOption();
    parser.addPositionalArgument("SOURCE", "the package directory");
    parser.addPositionalArgument("DESTINATION", "the directory to install into");
    const QCommandLineOption atomic("atomic", "swap the new version in at once");
    const QCommandLineOption keepPrevious("keep-previous", "keep the previous version, to roll back to (with --atomic)");
    const QCommandLineOption installer("installer", "the ostrel-installer to run", "PATH");
    const QCommandLineOption quitWhenDone("quit-when-done", "exit as soon as the install (or the rollback) has ended");
    const QCommandLineOption rollBackWhenDone("roll-back-when-done", "once installed, press Roll back at once");
    parser.addOptions({atomic, keepPrevious, installer, quitWhenDone, rollBackWhenDone});
    parser.process(app);
    if (parser.positionalArguments().size() != 2)
        parser.showHelp(1);

    InstallerClient client;
    client.setSource(parser.positionalArguments().at(0));
    client.setDestination(parser.positionalArguments().at(1));
    client.setAtomic(parser.isSet(atomic));
    client.setKeepPrevious(parser.isSet(keepPrevious));
    if (parser.isSet(installer))
        client.setInstallerProgram(parser.value(installer));

    UpdaterWindow window(&client, {parser.isSet(quitWhenDone), parser.isSet(rollBackWhenDone)});
    window.show();
    client.start();
    app.exec();
    return window.result;
}
