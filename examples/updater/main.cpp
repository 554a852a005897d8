// ostrel-updater-example: the window an application's updater shows while
// ostrel-installer puts the new version in place.
//   ostrel-updater-example [--atomic] [--installer PATH] [--quit-when-done] SOURCE DESTINATION
// Exits 0 when the package was installed, 1 otherwise, once the window has
// been closed (at once with --quit-when-done).
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
            if (result == 0)
                bar->setRange(0, 1), bar->setValue(1);
            button->setText("Close");
            if (quitWhenDone)
                close();
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
