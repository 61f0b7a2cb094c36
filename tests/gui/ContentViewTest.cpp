// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/ContentView.h"

#include "TestSupport.h"
#include "core/ContentModel.h"
#include "gui/LogWindow.h"
#include "gui/QrCodeWindow.h"
#include "gui/Spinner.h"
#include "gui/TunnelRow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

using namespace Velumo;
using namespace Velumo::Testing;

namespace {

const QString address = QStringLiteral("https://seasonal-deck-organisms-sf.trycloudflare.com");

Tunnel makeTunnel(const QString &hostname, const QString &port, bool withUrl, bool loading)
{
    Tunnel tunnel;
    tunnel.hostname = hostname;
    tunnel.port = port;
    if (withUrl) {
        tunnel.url = QUrl(address);
    }
    tunnel.loading = loading;
    return tunnel;
}

} // namespace

class ContentViewTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ContentView> m_view;
    QList<QUrl> m_opened;

    QString storePath() const { return m_dir->filePath(QStringLiteral("storedTunnels.json")); }
    ContentModel *model() const { return m_view->model(); }

    void store(const TunnelList &tunnels)
    {
        QFile file(storePath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(encodeTunnels(tunnels));
    }

    template <typename T> T *child(const QString &name) const
    {
        return m_view->findChild<T *>(name);
    }

    QList<TunnelRow *> rows() const { return m_view->findChildren<TunnelRow *>(); }

    void showView()
    {
        m_view->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
    }

public Q_SLOTS:
    // Stands in for the browser.
    void openUrl(const QUrl &url) { m_opened.append(url); }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        auto *model = new ContentModel(TunnelStore(storePath()));
        model->setToolPath(standinPath());
        m_view = std::make_unique<ContentView>(model);
    }
    void cleanup()
    {
        QSignalSpy stopped(model(), &ContentModel::toolsStopped);
        model()->stopAllTools(std::chrono::milliseconds(300));
        QTRY_VERIFY(model()->runningToolCount() == 0);
        QTest::qWait(0);
        m_view.reset();
        m_dir.reset();
    }


    void create_passesTheTextsAsTheyStand_data()
    {
        QTest::addColumn<QString>("hostname");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("expected");
        QTest::newRow("defaults") << QString() << QString() << QStringLiteral("localhost:3000");
        QTest::newRow("emptied hostname")
            << QStringLiteral("") << QStringLiteral("3000") << QStringLiteral(":3000");
        QTest::newRow("spaces kept") << QStringLiteral(" my host ") << QStringLiteral("80 ")
                                     << QStringLiteral(" my host :80 ");
    }
    void create_passesTheTextsAsTheyStand()
    {
        QFETCH(QString, hostname);
        QFETCH(QString, port);
        QFETCH(QString, expected);
        showView();
        auto *hostField = child<QLineEdit>(QStringLiteral("hostnameField"));
        auto *portField = child<QLineEdit>(QStringLiteral("portField"));
        if (!expected.startsWith(QStringLiteral("localhost"))) {
            hostField->setText(hostname);
            portField->setText(port);
        }
        const QString before = hostField->text() + u'|' + portField->text();
        const QString record = m_dir->filePath(QStringLiteral("argv.json"));
        useScriptAt(m_dir->filePath(QStringLiteral("script")), "record " + record.toUtf8() + "\n");
        QTest::mouseClick(child<QPushButton>(QStringLiteral("createButton")), Qt::LeftButton);
        QTRY_VERIFY(QFile::exists(record));
        QCOMPARE(readRecord(record).value(QStringLiteral("argv")).toArray().at(4).toString(),
                 expected);
        QCOMPARE(hostField->text() + u'|' + portField->text(), before);
    }

    void returnInAField_startsNothing()
    {
        showView();
        for (const QString &name : {QStringLiteral("hostnameField"), QStringLiteral("portField")}) {
            QTest::keyClick(child<QLineEdit>(name), Qt::Key_Return);
            QTest::keyClick(child<QLineEdit>(name), Qt::Key_Enter);
        }
        QCoreApplication::processEvents();
        QVERIFY(!model()->loading());
        QCOMPARE(model()->runningToolCount(), 0);
    }

    void loading_disablesTheFormAndShowsTheSpinner()
    {
        showView();
        auto *button = child<QPushButton>(QStringLiteral("createButton"));
        const int width = button->width();
        useScriptAt(m_dir->filePath(QStringLiteral("script")), "sleep 400\nexit 1\n");
        QTest::mouseClick(button, Qt::LeftButton);
        QTRY_VERIFY(!button->isEnabled());
        QVERIFY(!child<QLineEdit>(QStringLiteral("hostnameField"))->isEnabled());
        QVERIFY(!child<QLineEdit>(QStringLiteral("portField"))->isEnabled());
        QVERIFY(button->text().isEmpty());
        QCOMPARE(button->accessibleName(), QStringLiteral("Create"));
        auto *spinner = button->findChild<Spinner *>();
        QVERIFY(spinner->isVisible());
        QVERIFY(spinner->isSpinning());
        QCOMPARE(spinner->scale(), 0.5);
        QCOMPARE(button->width(), width);

        // The tool ends without an address: the form comes back.
        QTRY_VERIFY(button->isEnabled());
        QCOMPARE(button->text(), QStringLiteral("Create"));
        QVERIFY(!spinner->isVisible());
        QVERIFY(!spinner->isSpinning());
        QVERIFY(child<QLineEdit>(QStringLiteral("hostnameField"))->isEnabled());
        QVERIFY(!m_view->statusBar()->currentMessage().isEmpty());
    }

    void created_tunnelShowsLinkCopyAndDelete()
    {
        showView();
        useTranscript(QStringLiteral("quick-tunnel.script"));
        QTest::mouseClick(child<QPushButton>(QStringLiteral("createButton")), Qt::LeftButton);
        QTRY_COMPARE(rows().size(), 1);
        TunnelRow *row = rows().first();
        QCOMPARE(row->findChild<QLabel *>(QStringLiteral("tunnelLabel"))->text(),
                 QStringLiteral("localhost:3000"));
        QCOMPARE(row->findChild<QAbstractButton *>(QStringLiteral("tunnelLink"))->accessibleName(),
                 address);
        QVERIFY(row->findChild<QToolButton *>(QStringLiteral("copyButton")));
        QVERIFY(row->findChild<QToolButton *>(QStringLiteral("deleteButton")));
        QVERIFY(child<QPushButton>(QStringLiteral("createButton"))->isEnabled());

        // Connected: a green light, and the tunnel can be stopped without deleting it.
        // Screen readers hear the state with the tunnel's name.
        auto *state = row->findChild<QLabel *>(QStringLiteral("tunnelLabel"));
        QTRY_COMPARE(state->accessibleDescription(), QStringLiteral("Connected"));
        QVERIFY(!row->findChild<QToolButton *>(QStringLiteral("restartButton")));
        QTest::mouseClick(row->findChild<QToolButton *>(QStringLiteral("stopButton")),
                          Qt::LeftButton);
        QTRY_VERIFY(row->findChild<QToolButton *>(QStringLiteral("restartButton")));
        QVERIFY(!row->findChild<QAbstractButton *>(QStringLiteral("tunnelLink")));
        QVERIFY(!row->findChild<QToolButton *>(QStringLiteral("stopButton")));
        QCOMPARE(state->accessibleDescription(), QStringLiteral("Stopped"));
        QCOMPARE(rows().size(), 1);
    }

    void logWindow_showsTheCommandLineAndFollowsOutput()
    {
        showView();
        useScriptAt(m_dir->filePath(QStringLiteral("script")), "err INF |  " + address.toUtf8() + "  |\nsleep 300\nerr INF later line\nwait\n");
        QTest::mouseClick(child<QPushButton>(QStringLiteral("createButton")), Qt::LeftButton);
        QTRY_COMPARE(rows().size(), 1);
        TunnelRow *row = rows().first();
        QTRY_VERIFY(row->findChild<QToolButton *>(QStringLiteral("logButton"))->isEnabled());
        QTest::mouseClick(row->findChild<QToolButton *>(QStringLiteral("logButton")),
                          Qt::LeftButton);
        auto *log = m_view->findChild<LogWindow *>();
        QVERIFY(log);
        QVERIFY(log->isVisible());
        QVERIFY(log->text().startsWith(QStringLiteral("$ ") + standinPath() +
                                       QStringLiteral(" tunnel --no-autoupdate --url localhost:3000\n")));
        QTRY_VERIFY(log->text().contains(QStringLiteral("INF later line")));
    }

    void qrButton_opensTheCodeForTheAddress()
    {
        TunnelRow row(makeTunnel(QStringLiteral("h"), QStringLiteral("1"), true, false), model());
        row.show();
        QTest::mouseClick(row.findChild<QToolButton *>(QStringLiteral("qrButton")), Qt::LeftButton);
        auto *window = row.findChild<QrCodeWindow *>();
        QVERIFY(window);
        QVERIFY(window->isVisible());
        QVERIFY(window->findChild<QLabel *>(QStringLiteral("qrAddress"))->text().contains(address));
    }

    void row_showsWhatItsStateCallsFor_data()
    {
        QTest::addColumn<bool>("withUrl");
        QTest::addColumn<bool>("loading");
        QTest::newRow("address") << true << false;
        QTest::newRow("address, loading") << true << true;
        QTest::newRow("no address") << false << false;
        QTest::newRow("no address, loading") << false << true;
    }
    void row_showsWhatItsStateCallsFor()
    {
        QFETCH(bool, withUrl);
        QFETCH(bool, loading);
        TunnelRow row(makeTunnel(QString(), QStringLiteral("3000"), withUrl, loading), model());
        row.show();
        QCOMPARE(row.findChild<QLabel *>(QStringLiteral("tunnelLabel"))->text(),
                 QStringLiteral(":3000"));
        auto *link = row.findChild<QAbstractButton *>(QStringLiteral("tunnelLink"));
        auto *copy = row.findChild<QToolButton *>(QStringLiteral("copyButton"));
        auto *restart = row.findChild<QToolButton *>(QStringLiteral("restartButton"));
        auto *remove = row.findChild<QToolButton *>(QStringLiteral("deleteButton"));
        QCOMPARE(link != nullptr, withUrl);
        QCOMPARE(copy != nullptr, withUrl);
        QCOMPARE(row.findChild<QToolButton *>(QStringLiteral("qrButton")) != nullptr, withUrl);
        // No tool runs for it, so it can always be started again, and never stopped.
        QVERIFY(restart);
        QVERIFY(!row.findChild<QToolButton *>(QStringLiteral("stopButton")));
        QVERIFY(remove);
        QCOMPARE(remove->accessibleName(), QStringLiteral("Delete tunnel"));
        QCOMPARE(remove->isEnabled(), !loading);
        QCOMPARE(row.isEnabled(), !loading);
        if (withUrl) {
            QCOMPARE(copy->accessibleName(), QStringLiteral("Copy address"));
            QVERIFY(link->text().contains(address));
        }
        {
            QCOMPARE(restart->accessibleName(), QStringLiteral("Restart tunnel"));
            // Play symbol or spinner, in the same slot: nothing else of the button is drawn
            // while it is not hovered.
            const QRect slot(QPoint(7, 7), TunnelRow::restartSlotSize);
            auto *spinner = restart->findChild<Spinner *>();
            QCOMPARE(spinner != nullptr, loading);
            if (spinner) {
                QCOMPARE(spinner->geometry(), slot);
            } else {
                const QImage image = restart->grab().toImage();
                const QRgb background = image.pixel(0, 0);
                bool drawn = false;
                for (int y = 0; y < image.height(); ++y) {
                    for (int x = 0; x < image.width(); ++x) {
                        if (image.pixel(x, y) != background) {
                            QVERIFY2(slot.contains(x, y),
                                     qPrintable(QStringLiteral("%1,%2").arg(x).arg(y)));
                            drawn = true;
                        }
                    }
                }
                QVERIFY(drawn);
            }
        }
    }

    void link_opensTheAddress()
    {
        QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "openUrl");
        TunnelRow row(makeTunnel(QStringLiteral("h"), QStringLiteral("1"), true, false), model());
        row.show();
        auto *link = row.findChild<QAbstractButton *>(QStringLiteral("tunnelLink"));
        QTest::mouseClick(link, Qt::LeftButton);
        QCOMPARE(m_opened, QList<QUrl>{QUrl(address)});
        // From the keyboard too; other keys do nothing.
        link->setFocus();
        QTest::keyClick(link, Qt::Key_A);
        QTest::keyClick(link, Qt::Key_Return);
        QTest::keyClick(link, Qt::Key_Space);
        QCOMPARE(m_opened, (QList<QUrl>{QUrl(address), QUrl(address), QUrl(address)}));
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    }

    void copy_leavesExactlyOnePlainTextItem()
    {
        QClipboard *clipboard = QGuiApplication::clipboard();
        auto *old = new QMimeData;
        old->setHtml(QStringLiteral("<b>old</b>"));
        old->setData(QStringLiteral("application/x-other"), "x");
        clipboard->setMimeData(old);

        TunnelRow row(makeTunnel(QStringLiteral("h"), QStringLiteral("1"), true, false), model());
        row.show();
        for (int i = 0; i < 2; ++i) {
            QTest::mouseClick(row.findChild<QToolButton *>(QStringLiteral("copyButton")),
                              Qt::LeftButton);
            QCOMPARE(clipboard->text(), address);
            QCOMPARE(clipboard->mimeData()->formats(), QStringList{QStringLiteral("text/plain")});
        }
    }

    void delete_removesTheRow()
    {
        const Tunnel first = makeTunnel(QStringLiteral("a"), QStringLiteral("1"), false, false);
        const Tunnel second = makeTunnel(QStringLiteral("b"), QStringLiteral("2"), false, false);
        store({first, second});
        showView();
        QCOMPARE(rows().size(), 2);
        TunnelRow *target = nullptr;
        for (TunnelRow *row : rows()) {
            if (row->tunnel().id == first.id) {
                target = row;
            }
        }
        QVERIFY(target);
        QTest::mouseClick(target->findChild<QToolButton *>(QStringLiteral("deleteButton")),
                          Qt::LeftButton);
        QTRY_COMPARE(rows().size(), 1);
        QCOMPARE(rows().first()->tunnel().id, second.id);
    }


    // A list longer than a page is filled in after the first frame; every record still gets its
    // row, stacked in the list's order, also after rows before it were deleted.
    void longList_showsEveryRecordInOrder_data()
    {
        QTest::addColumn<QList<int>>("deleted");
        QTest::newRow("nothing deleted") << QList<int>{};
        QTest::newRow("first deleted") << QList<int>{0};
        QTest::newRow("rows at page ends deleted") << QList<int>{31, 32, 64};
    }
    void longList_showsEveryRecordInOrder()
    {
        QFETCH(QList<int>, deleted);
        TunnelList stored;
        for (int i = 0; i < 70; ++i) {
            stored.append(makeTunnel(QStringLiteral("h"), QString::number(i + 1), false, false));
        }
        store(stored);
        showView();
        QTRY_COMPARE(rows().size(), stored.size());
        for (const int index : deleted) {
            model()->deleteTunnel(stored.at(index));
        }
        QTRY_COMPARE(rows().size(), stored.size() - deleted.size());

        QHash<QUuid, TunnelRow *> byId;
        for (TunnelRow *row : rows()) {
            byId.insert(row->tunnel().id, row);
        }
        int bottom = -1;
        for (const Tunnel &tunnel : model()->tunnels()) {
            TunnelRow *row = byId.value(tunnel.id);
            QVERIFY(row && !row->isHidden());
            const int top = row->mapTo(m_view.get(), QPoint()).y();
            QVERIFY2(top > bottom, qPrintable(tunnel.port));
            bottom = top + row->height() - 1;
        }
    }

    void showingAgain_doesNotReloadTheList()
    {
        store({makeTunnel(QStringLiteral("a"), QStringLiteral("1"), false, false)});
        showView();
        QCOMPARE(rows().size(), 1);
        store({});
        m_view->hide();
        showView();
        QCOMPARE(rows().size(), 1);
    }

    void missingTool_isExplainedInTheStatusLine()
    {
        model()->setToolPath(QString());
        showView();
        QTest::mouseClick(child<QPushButton>(QStringLiteral("createButton")), Qt::LeftButton);
        QTRY_VERIFY(m_view->statusBar()->currentMessage().contains(QStringLiteral("not found")));
        QVERIFY(child<QPushButton>(QStringLiteral("createButton"))->isEnabled());
    }
};

QTEST_MAIN(ContentViewTest)
#include "ContentViewTest.moc"
