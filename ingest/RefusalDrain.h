#pragma once

#include <QObject>

// Turns a camera away: writes the overload text, shuts our side for writing once the text is
// with the kernel, and reads and drops whatever the camera still sends until it closes or
// kDrainMs pass. Closing with its bytes unread would answer with a reset that can destroy the
// text before the camera reads it.
//
// GUI thread only. Owns each refused descriptor until it is closed.
class RefusalDrain : public QObject
{
    Q_OBJECT
public:
    // Written to a refused connection, followed by CR LF.
    static constexpr const char *kOverloadText = "Server is overloaded, try again later...";
    static constexpr int kDrainMs = 2000;
    // Refused sockets draining at once; beyond this a refused socket is closed at once, so a
    // flood of refused connections cannot hold many descriptors.
    static constexpr int kMaxDraining = 64;

    explicit RefusalDrain(QObject *parent = nullptr) : QObject(parent) {}

    // Takes the accepted descriptor and refuses it.
    void refuse(qintptr descriptor);
    int drainingCount() const { return m_draining; }

private:
    int m_draining = 0;
};
