// CSignalPipe: SIGTERM and SIGINT reach the Qt event loop as a signal
// (the handler only writes to a pipe the loop watches), so a recording can
// be finished properly before the program ends.
#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

class CSignalPipe : public QObject {
    Q_OBJECT
public:
    // One object per process; installs the handlers.
    explicit CSignalPipe(QObject* parent = nullptr);
    // Restores the previous handlers.
    ~CSignalPipe() override;

    bool isInstalled() const { return m_bInstalled; }

signals:
    void terminationRequested(int signalNumber);

private:
    void readSignal();
    static void handler(int signalNumber);

    std::unique_ptr<QSocketNotifier> m_pNotifier;
    bool m_bInstalled = false;
};
