#include <ostrel/installerclient.h>

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Ostrel::InstallerClient client;
    client.setSource(app.arguments().value(1));
    client.setDestination(app.arguments().value(2));
    QObject::connect(&client, &Ostrel::InstallerClient::finished, &app,
                     [](Ostrel::InstallerClient::Outcome outcome, int, const QString &reason) {
        std::puts(qPrintable(reason));
        QCoreApplication::exit(outcome == Ostrel::InstallerClient::Installed ? 0 : 1);
    });
    client.start();
    return app.exec();
}
