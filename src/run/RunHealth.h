#pragma once

#include <QString>
#include <QStringList>

// How well a run could see the portal, as the faces show it.
struct RunHealth {
    enum class State {
        Unknown,  // the run was stopped or could not begin: it says nothing of the portal
        Seeing,
        Suspect,  // a search's count fell by more than half against the last run that read it
        Blind,    // the portal's pages could not be read as the program expects
    };
    State state = State::Unknown;
    QString cause;           // blind: what showed it, in one line
    QString address;         // blind: an address that showed it
    QStringList drops;       // suspect: one line per search whose count fell
    bool gaveUp = false;     // the run stopped retrying a portal that refused every request
    bool recovered = false;  // seeing again after a blind run

    bool Blind() const { return state == State::Blind; }
    // The state in one line, as the status line, the tray hint and the notices say it; empty
    // while all is well.
    QString Line() const {
        switch (state) {
            case State::Blind:
                return QStringLiteral("Монитор не видит портал: ") + cause +
                       (address.isEmpty() ? QString() : QStringLiteral(", ") + address);
            case State::Suspect:
                return drops.join(QStringLiteral("; "));
            case State::Seeing:
                return recovered ? QStringLiteral("Монитор снова видит портал") : QString();
            case State::Unknown:
                break;
        }
        return {};
    }
};
