// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "BenchReport.h"
#include "core/ContentModel.h"
#include "gui/ContentView.h"
#include "gui/RowPages.h"
#include "gui/TunnelRow.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLayout>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <QWindow>

#include <cstdio>
#include <malloc.h>

// The main window with a long list: how long 1,000 rows take from the model's change to a
// painted window, how long one record's change takes the same way, and what a row costs in
// memory. The rows are built from the tunnel registry's list model and one row's change comes
// as that row's dataChanged. Offscreen, the same code paints as on a desktop, into an image.

using namespace Velumo;

namespace {

constexpr int rowCount = 1000;
// A row in the first screenful, so its change is painted.
constexpr int changedRow = 3;
constexpr int rounds = 9;
const QByteArray address = "https://seasonal-deck-organisms-sf.trycloudflare.com";

qint64 heapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return qint64(info.uordblks + info.hblkhd);
}

qint64 residentBytes()
{
    QFile status(QStringLiteral("/proc/self/statm"));
    if (!status.open(QIODevice::ReadOnly)) {
        return 0;
    }
    const QList<QByteArray> fields = status.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() * ::sysconf(_SC_PAGESIZE) : 0;
}

// Runs what the event loop would before the next frame: the update's layout requests, the
// repaints they ask for, then the repaint of everything that became dirty.
void settleAndPaint()
{
    for (int pass = 0; pass < 6; ++pass) {
        QCoreApplication::sendPostedEvents();
    }
}

qint64 threadCpuNs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// The rows the window has placed on the pages of its list of rows. Counted without a search,
// as this runs inside the timed span.
int rowsShown(const RowPages *rows)
{
    return int(rows->rowCount());
}

const RowPages *rowList(const ContentView &view)
{
    return view.findChild<RowPages *>(QStringLiteral("tunnelRows"));
}

// Times from the model's announcement of a change to the window painted with every row in
// place. The view queues its update on that announcement; the finish is queued behind it, and
// again until every row is there.
class ChangeTimer
{
public:
    explicit ChangeTimer(ContentView &view)
        : m_view(view)
        , m_rows(rowList(view))
    {
        QObject::connect(view.model(), &ContentModel::objectWillChange, &view, [this] {
            if (!m_armed || m_started) {
                return;
            }
            m_started = Bench::monotonicNs();
            m_cpuStarted = threadCpuNs();
            finishWhenComplete();
        });
    }

    void arm()
    {
        m_armed = true;
        m_started = m_finished = 0;
    }
    bool finished() const { return m_finished != 0; }
    double ms() const { return double(m_finished - m_started) / 1e6; }
    double cpuMs() const { return double(m_cpuFinished - m_cpuStarted) / 1e6; }

private:
    void finishWhenComplete()
    {
        QMetaObject::invokeMethod(
            &m_view,
            [this] {
                settleAndPaint();
                if (rowsShown(m_rows) < m_view.model()->registry().rowCount()) {
                    finishWhenComplete();
                    return;
                }
                m_finished = Bench::monotonicNs();
                m_cpuFinished = threadCpuNs();
            },
            Qt::QueuedConnection);
    }

    ContentView &m_view;
    const RowPages *m_rows;
    bool m_armed = false;
    qint64 m_started = 0;
    qint64 m_finished = 0;
    qint64 m_cpuStarted = 0;
    qint64 m_cpuFinished = 0;
};

struct Round {
    double fullMs = 0;
    double fullCpuMs = 0;
    double oneMs = 0;
    double oneCpuMs = 0;
    double heapKiBPerRow = 0;
    double residentKiBPerRow = 0;
    bool ok = false;
};

bool writeStore(const QString &path, const TunnelList &tunnels)
{
    QFile store(path);
    const QByteArray bytes = encodeTunnels(tunnels);
    return store.open(QIODevice::WriteOnly) && store.write(bytes) == bytes.size();
}

Round round(const QString &storePath, const TunnelList &tunnels)
{
    Round result;
    if (!writeStore(storePath, {})) {
        return result;
    }
    auto *model = new ContentModel(TunnelStore(storePath));
    model->setToolPath(QStringLiteral(VELUMO_STANDIN));
    ContentView view(model);
    view.show();
    if (!Bench::waitUntil([&] { return view.windowHandle()->isExposed(); },
                          std::chrono::seconds(10))) {
        return result;
    }
    // The empty window's first frames settle before the rows arrive.
    Bench::waitUntil([] { return false; }, std::chrono::milliseconds(100));
    if (!writeStore(storePath, tunnels)) {
        return result;
    }

    ChangeTimer timer(view);
    const qint64 heapBefore = heapInUse();
    const qint64 residentBefore = residentBytes();
    timer.arm();
    model->loadTunnels();
    Bench::waitUntil([&] { return timer.finished(); }, std::chrono::seconds(60));
    result.fullMs = timer.ms();
    result.fullCpuMs = timer.cpuMs();
    result.heapKiBPerRow = double(heapInUse() - heapBefore) / rowCount / 1024;
    result.residentKiBPerRow = double(residentBytes() - residentBefore) / rowCount / 1024;
    const QList<TunnelRow *> rowsBuilt = view.findChildren<TunnelRow *>();
    const bool allBuilt = rowsBuilt.size() == rowCount;

    // A restarted tunnel gets its address: one record changes, with the rest standing still.
    const Tunnel target = model->tunnels().at(changedRow);
    model->restartTunnel(target);
    Bench::waitUntil([&] { return model->tunnels().at(changedRow).loading; },
                     std::chrono::seconds(5));
    Bench::waitUntil([] { return false; }, std::chrono::milliseconds(20));
    timer.arm();
    Bench::waitUntil([&] { return timer.finished() && !model->tunnels().at(changedRow).loading; },
                     std::chrono::seconds(10));
    result.oneMs = timer.ms();
    result.oneCpuMs = timer.cpuMs();
    // The change is made in place: every row is the one built before.
    const bool rowsKept = view.findChildren<TunnelRow *>() == rowsBuilt;
    const bool addressShown = model->tunnels().at(changedRow).url.has_value();
    model->stopAllTools(std::chrono::milliseconds(200));
    Bench::waitUntil([&] { return model->runningToolCount() == 0; }, std::chrono::seconds(5));
    result.ok = allBuilt && rowsKept && addressShown;
    return result;
}

// The reference: the same 1,000 records as rows of one plain label each, in a scroll area's
// box layout, filled while hidden and shown at once. No row can be made with less.
struct Plain {
    double ms = 0;
    double heapKiBPerRow = 0;
};

Plain plainRows(const TunnelList &tunnels)
{
    QScrollArea window;
    window.setWidgetResizable(true);
    auto *list = new QWidget;
    auto *layout = new QVBoxLayout(list);
    window.setWidget(list);
    window.resize(720, 420);
    window.show();
    Bench::waitUntil([&] { return window.windowHandle()->isExposed(); }, std::chrono::seconds(10));
    Bench::waitUntil([] { return false; }, std::chrono::milliseconds(100));

    const qint64 heapBefore = heapInUse();
    const qint64 started = Bench::monotonicNs();
    list->hide();
    for (const Tunnel &tunnel : tunnels) {
        layout->addWidget(new QLabel(tunnel.hostname + u':' + tunnel.port, list));
    }
    list->show();
    settleAndPaint();
    return {double(Bench::monotonicNs() - started) / 1e6,
            double(heapInUse() - heapBefore) / double(tunnels.size()) / 1024};
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const QString storePath = dir.filePath(QStringLiteral("storedTunnels.json"));
    const QString scriptPath = dir.filePath(QStringLiteral("restart.script"));
    QFile script(scriptPath);
    if (!script.open(QIODevice::WriteOnly) ||
        script.write("sleep 100\nerr {now} INF |  " + address + "  |\nwait\n") < 0) {
        return 1;
    }
    script.close();
    qputenv("VELUMO_STANDIN_SCRIPT", QFile::encodeName(scriptPath));

    TunnelList tunnels;
    for (int i = 0; i < rowCount; ++i) {
        Tunnel tunnel;
        tunnel.hostname = QStringLiteral("service-%1.local").arg(i);
        tunnel.port = QString::number(3000 + i % 5000);
        tunnels.append(tunnel);
    }

    std::vector<double> full;
    std::vector<double> one;
    std::vector<double> plainMs;
    std::vector<double> plainHeap;
    // Each round's build over its own one-label reference and over its own change: each pair
    // ran seconds apart, on the same machine in the same state.
    std::vector<double> buildRatios;
    std::vector<double> changeRatios;
    std::vector<double> heap;
    std::vector<double> resident;
    for (int i = 0; i < rounds; ++i) {
        const Round r = round(storePath, tunnels);
        const Plain plain = plainRows(tunnels);
        std::printf("Round %d: build %.1f ms (%.1f ms CPU; one-label rows %.1f ms), one change "
                    "%.3f ms (%.3f ms CPU), per row %.1f KiB heap, %.1f KiB resident\n",
                    i + 1, r.fullMs, r.fullCpuMs, plain.ms, r.oneMs, r.oneCpuMs, r.heapKiBPerRow,
                    r.residentKiBPerRow);
        if (!r.ok) {
            std::fprintf(stderr, "the window did not show what the model holds, or made a row "
                                 "anew for a change\n");
            return 1;
        }
        full.push_back(r.fullMs);
        one.push_back(r.oneMs);
        plainMs.push_back(plain.ms);
        plainHeap.push_back(plain.heapKiBPerRow);
        buildRatios.push_back(r.fullMs / plain.ms);
        changeRatios.push_back(r.fullMs / r.oneMs);
        heap.push_back(r.heapKiBPerRow);
        resident.push_back(r.residentKiBPerRow);
    }
    const QString plain =
        QStringLiteral("1,000 one-label rows: ") +
        Bench::number(Bench::percentile(plainMs, 0.5), 1) + QStringLiteral(" ms, ") +
        Bench::number(Bench::percentile(plainHeap, 0.5), 1) + QStringLiteral(" KiB per row");
    const double fullMs = Bench::percentile(full, 0.5);
    const double oneMs = Bench::percentile(one, 0.5);
    const double buildRatio = Bench::percentile(buildRatios, 0.5);
    const double changeRatio = Bench::percentile(changeRatios, 0.5);
    // What a row holds is the heap it adds in any round; the first build in the process also
    // pays once for caches (icons, fonts, glyphs), and only then does the resident size grow,
    // as later rounds reuse the memory of the rows before.
    const double heapPerRow = Bench::percentile(heap, 0.5);

    Bench::report(
        {QStringLiteral("4b"),
         QStringLiteral("Window builds 1,000 rows (model change to painted frame)"), plain,
         Bench::number(fullMs, 1) + QStringLiteral(" ms (") + Bench::number(buildRatio, 2) +
             QStringLiteral("× the one-label rows, median of the rounds' own ratios)"),
         QStringLiteral("≤ 3.5× the one-label rows"), buildRatio <= 3.5});
    Bench::report(
        {QStringLiteral("4c"), QStringLiteral("One record's change applied, with 1,000 rows"),
         QStringLiteral("full build ") + Bench::number(fullMs, 1) + QStringLiteral(" ms"),
         Bench::number(oneMs, 2) + QStringLiteral(" ms (1/") + Bench::number(changeRatio, 0) +
             QStringLiteral(" of the build, median of the rounds' own ratios), no row made anew"),
         QStringLiteral("≤ 1/50 of the build, in place"), changeRatio >= 50});
    Bench::report({QStringLiteral("4d"), QStringLiteral("Memory per row, 1,000 rows"), plain,
                   Bench::number(heapPerRow, 1) +
                       QStringLiteral(" KiB heap (first build, caches included: ") +
                       Bench::number(heap.front(), 1) + QStringLiteral(" KiB heap, ") +
                       Bench::number(resident.front(), 1) + QStringLiteral(" KiB resident)"),
                   QStringLiteral("≤ 20 KiB"), heapPerRow <= 20});
    return 0;
}
