// ostrel-updater-example: the window an application's updater shows while
// ostrel-installer puts the new version in place.
//   ostrel-updater-example [--atomic] [--installer PATH] [--quit-when-done] SOURCE DESTINATION
// Exits 0 when the package was installed, 1 otherwise, once the window has
// been closed (at once with --quit-when-done, which also prints what the
// window showed last, for scripts that check it).
#include <ostrel/installerclient.h>

#include <QApplication>
#include <QCloseEvent>
#include <QCommandLineParser>
#include <QLabel>
#include <QMetaEnum>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstdio>

using Ostrel::InstallerClient;

class UpdaterWindow : public QWidget
{
public:
    UpdaterWindow(InstallerClient *client, bool quitWhenDone)
        : client(client)
    {
        setWindowTitle("Installing the update");
        auto *layout = new QVBoxLayout(this);
        layout->addWidget(status);
        layout->addWidget(bar);
        layout->addWidget(button, 0, Qt::AlignRight);
        bar->setRange(0, 0); // busy until the installer has counted the files

        connect(client, &InstallerClient::started, this, [this](int total) {
            bar->setRange(0, total);
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
        connect(client, &InstallerClient::finished, this,
                [this, quitWhenDone](InstallerClient::Outcome outcome, int, const QString &reason) {
            result = outcome == InstallerClient::Installed ? 0 : 1;
            const char *name = QMetaEnum::fromType<InstallerClient::Outcome>().valueToKey(outcome);
            std::fprintf(result ? stderr : stdout, "%s: %s\n", name, qPrintable(reason));
            status->setText(reason);
            // A range stops the busy animation: full when installed, empty
            // when not, with the reason shown as an error.
            bar->setRange(0, 1);
            bar->setValue(result == 0 ? 1 : 0);
            if (result != 0) {
                setWindowTitle("The update failed");
                status->setStyleSheet("color: #b00020; font-weight: bold");
            }
            button->setText("Close");
            if (quitWhenDone) {
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
    InstallerClient *client;
    QLabel *status = new QLabel("Starting the installer…");
    QProgressBar *bar = new QProgressBar;
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
    const QCommandLineOption installer("installer", "the ostrel-installer to run", "PATH");
    const QCommandLineOption quitWhenDone("quit-when-done", "exit as soon as the install has ended");
    parser.addOptions({atomic, installer, quitWhenDone});
    parser.process(app);
    if (parser.positionalArguments().size() != 2)
        parser.showHelp(1);

    InstallerClient client;
    client.setSource(parser.positionalArguments().at(0));
    client.setDestination(parser.positionalArguments().at(1));
    client.setAtomic(parser.isSet(atomic));
    if (parser.isSet(installer))
        client.setInstallerProgram(parser.value(installer));

    UpdaterWindow window(&client, parser.isSet(quitWhenDone));
    window.show();
    client.start();
    app.exec();
    return window.result;
}
