// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/Tunnel.h"
#include "core/TunnelSession.h"

#include <QWidget>

#include <array>
#include <optional>

class QHBoxLayout;
class QLabel;

namespace Velumo {

// One tunnel in the list: "host:port" with a status light, then its address with copy, QR code
// and stop buttons, or a restart button, then its log and delete buttons. A state change shows,
// hides and enables the buttons it has, so keyboard focus stays where it was; a button is made
// the first time the tunnel needs it. What the buttons ask for is the view's to do.
class TunnelRow : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TunnelRow)

public:
    // What sets a named tunnel's row apart, and its switches for the local proxy.
    struct Extras {
        // Said after host:port, e.g. "named tunnel blog"; a dashboard tunnel's row shows it
        // alone, as its local service is set in the dashboard.
        QString kind;
        bool fromDashboard = false;
        bool inspected = false;
        bool passwordRequired = false;
    };

    TunnelRow(const Tunnel &tunnel, const TunnelActivity &activity,
              std::optional<bool> serviceListening, const Extras &extras,
              QWidget *parent = nullptr);

    const Tunnel &tunnel() const { return m_tunnel; }
    // Shows the record, what its tool does, whether its local service answers, and what sets
    // it apart.
    void setState(const Tunnel &tunnel, const TunnelActivity &activity,
                  std::optional<bool> serviceListening, const Extras &extras);

    static QString stateDescription(const TunnelActivity &activity);
    // The restart button's symbol area keeps this size whether it shows play or a spinner.
    static constexpr QSize restartSlotSize{15, 10};

Q_SIGNALS:
    void openRequested(const Velumo::Tunnel &tunnel);
    void copyRequested(const Velumo::Tunnel &tunnel);
    void qrCodeRequested(const Velumo::Tunnel &tunnel);
    void logRequested(const Velumo::Tunnel &tunnel);
    void restartRequested(const Velumo::Tunnel &tunnel);
    void restartOverHttp2Requested(const Velumo::Tunnel &tunnel);
    void stopRequested(const Velumo::Tunnel &tunnel);
    void deleteRequested(const Velumo::Tunnel &tunnel);
    void inspectToggled(const Velumo::Tunnel &tunnel, bool inspect);
    void requestsRequested(const Velumo::Tunnel &tunnel);
    void passwordToggled(const Velumo::Tunnel &tunnel, bool required);
    void linkWithKeyRequested(const Velumo::Tunnel &tunnel);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    // The row's controls after its text, in the order they stand.
    enum Slot {
        Link,
        Warning,
        Http2,
        Copy,
        KeyLink,
        QrCode,
        Inspect,
        Requests,
        Password,
        Stop,
        Restart,
        Log,
        Delete,
        SlotCount
    };

    QWidget *showSlot(Slot slot, bool shown);
    QWidget *make(Slot slot);
    void showExtras();
    void showLabel();
    QRect dotRect() const;

    Tunnel m_tunnel;
    Extras m_extras;
    TunnelState m_state = TunnelState::Idle;
    QHBoxLayout *m_layout = nullptr;
    QLabel *m_text = nullptr;
    std::array<QWidget *, SlotCount> m_slots{};
    QWidget *m_spinner = nullptr;
};

} // namespace Velumo
