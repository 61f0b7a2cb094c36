// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/ContentView.h"

#include "TestSupport.h"
#include "core/ContentModel.h"
#include "gui/AboutDialog.h"
#include "gui/AppStyle.h"
#include "gui/LogWindow.h"
#include "gui/RequestsWindow.h"
#include "gui/Spinner.h"
#include "gui/TunnelActions.h"
#include "gui/TunnelRow.h"
#include "proxy/RequestRecorder.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QCryptographicHash>
#include <QDesktopServices>
#include <QInputDialog>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSslServer>
#include <QTableView>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextBlock>
#include <QToolButton>
#include <QtGui/private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>

using namespace Velumo;
using namespace Velumo::Testing;
using namespace Qt::StringLiterals;

namespace {

// The accessibility events raised on rows, as "NameChanged" or "StateChanged".
QMultiHash<QObject *, QAccessible::Event> rowEvents;

void recordEvent(QAccessibleEvent *event)
{
    if (qobject_cast<TunnelRow *>(event->object())) {
        rowEvents.insert(event->object(), event->type());
    }
}

} // namespace

class ContentViewTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ProxyHost> m_proxyHost;
    std::unique_ptr<ContentView> m_view;
    QList<QUrl> m_opened;

    ContentModel *model() const { return m_view->model(); }
    template <typename T = QWidget> T *child(const QString &name, QObject *in = nullptr) const
    {
        return (in ? in : m_view.get())->findChild<T *>(name);
    }
    QList<TunnelRow *> rows() const { return m_view->findChildren<TunnelRow *>(); }
    static QString accessibleName(QWidget *widget)
    {
        return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
    }
    static void click(QWidget *widget) { QTest::mouseClick(widget, Qt::LeftButton); }
    void script(const QByteArray &text) { useScriptAt(m_dir->filePath(u"s"_s), text); }
    void load(const TunnelList &tunnels)
    {
        QVERIFY(writeFile(m_dir->filePath(u"store.json"_s), encodeTunnels(tunnels)));
        model()->loadTunnels();
    }
    // What a screen reader finds in a row, in its order: the names of the controls after the
    // tunnel's own text.
    static QStringList controls(TunnelRow *row)
    {
        QAccessibleInterface *face = QAccessible::queryAccessibleInterface(row);
        QStringList names;
        for (int i = 0; i < face->childCount(); ++i) {
            names.append(face->child(i)->text(QAccessible::Name));
        }
        return names;
    }

public Q_SLOTS:
    // Stands in for the browser.
    void openUrl(const QUrl &url) { m_opened.append(url); }

private Q_SLOTS:
    void initTestCase()
    {
        // A screen reader switches accessibility on; on this platform only Qt's own API can.
        QGuiApplicationPrivate::platformIntegration()->accessibility()->setActive(true);
        QAccessible::installUpdateHandler(&recordEvent);
    }
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_proxyHost = std::make_unique<ProxyHost>();
        auto *model = new ContentModel(TunnelStore(m_dir->filePath(u"store.json"_s)));
        model->setProxyHost(m_proxyHost.get());
        model->setToolPath(standinPath());
        m_view = std::make_unique<ContentView>(model);
        m_view->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
    }
    void cleanup()
    {
        model()->stopAllTools(std::chrono::milliseconds(300));
        QTRY_COMPARE(model()->runningToolCount(), 0);
        // Every creation has read its tool's output to the end.
        QTRY_VERIFY(!model()->loading());
        m_view.reset();
        m_proxyHost.reset();
        m_dir.reset();
    }

    void create_disablesTheFormThenListsTheAddress()
    {
        const QString record = m_dir->filePath(u"argv.json"_s);
        script("record " + record.toUtf8() + "\nsleep 300\n" + announcement() + "wait\n");
        child<QLineEdit>(u"hostnameField"_s)->setText(u" my host "_s);
        QWidget *button = child(u"createButton"_s);
        button->setFocus();
        QTest::keyClick(button, Qt::Key_Space);
        QTRY_VERIFY(!button->isEnabled());
        QVERIFY(!child(u"hostnameField"_s)->isEnabled() && !child(u"portField"_s)->isEnabled());
        QVERIFY(button->findChild<Spinner *>()->isVisible());
        QCOMPARE(accessibleName(button), u"Create"_s);
        QTRY_COMPARE(rows().size(), 1);
        // The row is inserted at once; the form follows at the end of that turn of the loop.
        QTRY_VERIFY(button->isEnabled() && child(u"portField"_s)->isEnabled());
        // A keyboard user is back where they were.
        QCOMPARE(m_view->focusWidget(), button);
        const QStringList argv = readRecord(record).value(u"argv"_s).toVariant().toStringList();
        QCOMPARE(argv.mid(1),
                 (QStringList{u"tunnel"_s, u"--no-autoupdate"_s, u"--url"_s, u" my host :3000"_s}));
        QVERIFY(rows().first()->accessibleSummary().startsWith(u" my host :3000, "_s));
        QCOMPARE(child<QLineEdit>(u"hostnameField"_s)->text(), u" my host "_s);
    }

    // Each state shows its controls in this order, the rest in the row's menu: the menu's
    // items read "name", "name [x]" or "name [ ]" for a switch, "name (off)" when disabled.
    void row_offersWhatItsStateCallsFor_data()
    {
        QTest::addColumn<QByteArray>("run"); // what the tool does; a stored tunnel when empty
        QTest::addColumn<QString>("press");  // a button of the row, once the tool is there
        QTest::addColumn<QString>("state");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("menu");
        QTest::addColumn<QString>("name"); // the row's, as a screen reader says it
        const QString connected = u"localhost:3000, Connected, "_s + announcedAddress;
        const QString nothing = u"Nothing is listening on localhost:3000"_s;
        const QStringList idle{u"More actions"_s, u"Restart tunnel"_s, u"Delete tunnel"_s};
        const QStringList served{nothing, announcedAddress, u"Copy address"_s, u"More actions"_s,
                                 u"Stop tunnel"_s, u"Delete tunnel"_s};
        const QStringList switches{u"Inspect requests [ ]"_s, u"Require a password [ ]"_s,
                                   u"Send Host as localhost:3000 [ ]"_s};
        const QStringList logged = QStringList{u"Show log"_s} + switches;
        // The QR code only once the address answers, while the tool holds a connection.
        const QStringList addressed = QStringList{u"Open in browser"_s} + logged;
        const QStringList reachable =
            QStringList{u"Open in browser"_s, u"Show QR code"_s} + logged;
        const QByteArray connects =
            announcement() + "sleep 200\nerr INF Registered tunnel connection\n";
        QTest::newRow("stored") << QByteArray() << QString() << u"Not running"_s
                                << QStringList{u"More actions"_s, u"Restart tunnel"_s,
                                               u"Delete tunnel"_s}
                                << switches << u"localhost:3000, Not running"_s;
        QTest::newRow("restarting")
            << QByteArray("sleep 5000\n") << u"restartButton"_s
            << u"Starting: waiting for the address"_s << idle << logged << u"localhost:3000, Starting"_s;
        QTest::newRow("connected") << connects + "wait\n" << QString() << u"Connected"_s
                                   << served << reachable << connected;
        QTest::newRow("stopped") << connects + "wait\n" << u"stopButton"_s << u"Stopped"_s
                                 << idle << logged << u"localhost:3000, Stopped"_s;
        QTest::newRow("ended") << connects + "exit 3\n" << QString()
                               << u"Ended: cloudflared exited with code 3"_s
                               << QStringList{announcedAddress, u"Copy address"_s,
                                              u"More actions"_s, u"Restart tunnel"_s,
                                              u"Delete tunnel"_s}
                               << addressed << u"localhost:3000, Ended, "_s + announcedAddress;
        QTest::newRow("edge blocks QUIC")
            << announcement() + "sleep 200\nrepeat 3 err ERR Failed to create new quic connection\nwait\n"
            << QString() << u"Address announced, not yet connected"_s
            << QStringList{nothing, u"QUIC blocked"_s} + served.mid(1)
            << addressed + QStringList{u"Start again over HTTP/2"_s}
            << u"localhost:3000, Address announced, "_s + announcedAddress;
    }
    void row_offersWhatItsStateCallsFor()
    {
        QFETCH(QByteArray, run);
        QFETCH(QString, press);
        QFETCH(QString, state);
        QFETCH(QStringList, names);
        QFETCH(QStringList, menu);
        QFETCH(QString, name);
        rowEvents.clear();
        const bool restarts = press == u"restartButton"_s;
        if (run.isEmpty() || restarts) {
            load({Tunnel()});
        }
        script(run);
        if (!run.isEmpty() && !restarts) {
            click(child(u"createButton"_s));
        }
        QTRY_COMPARE(rows().size(), 1);
        TunnelRow *row = rows().first();
        if (!press.isEmpty()) {
            QTRY_VERIFY(child(press, row) && child(press, row)->isVisible());
            click(child(press, row));
        }
        QTRY_COMPARE(controls(row), names);
        // A list of rows, each named from its tunnel; a change is announced on the row.
        QAccessibleInterface *face = QAccessible::queryAccessibleInterface(row);
        QCOMPARE(face->role(), QAccessible::ListItem);
        QCOMPARE(face->parent()->role(), QAccessible::List);
        QCOMPARE(face->parent()->indexOfChild(face), 0);
        QTRY_COMPARE(face->text(QAccessible::Name), name);
        // Every row but the stored one, and the one still at its first state, has changed.
        const bool changed = !run.isEmpty() && !name.contains(u"announced"_s);
        QCOMPARE(rowEvents.contains(row, QAccessible::NameChanged), changed);
        QCOMPARE(rowEvents.contains(row, QAccessible::StateChanged), changed);
        const QString problem = model()->activity(row->id()).problem;
        const QString description = problem.isEmpty() ? state : state + u'\n' + problem;
        QTRY_COMPARE(row->toolTip(), description);
        QCOMPARE(face->text(QAccessible::Description), description);
        // A restart waits for its address in a disabled row, with a spinner in place of play.
        QCOMPARE(row->isEnabled(), !restarts);
        auto *spinner = child<Spinner>(u"spinner"_s, row);
        QCOMPARE(spinner && spinner->isVisibleTo(row), restarts);
        if (auto *link = child<QPushButton>(u"tunnelLink"_s, row); link && link->isVisible()) {
            QCOMPARE(link->font().strikeOut(), state.startsWith(u"Ended"_s));
        }
        // Badges say their sentence and open the menu at the action that helps.
        for (auto *badge : row->findChildren<QToolButton *>(u"quicWarning"_s)) {
            QVERIFY(badge->accessibleDescription().contains(u"QUIC"_s));
            QCOMPARE(badge->toolTip(), badge->accessibleDescription());
            click(badge);
            QTRY_VERIFY(child(u"rowMenu"_s, row) && child(u"rowMenu"_s, row)->isVisible());
            QCOMPARE(child<QMenu>(u"rowMenu"_s, row)->activeAction()->text(),
                     u"Start again over HTTP/2"_s);
            child<QMenu>(u"rowMenu"_s, row)->hide();
        }
        // A row that waits for its tool is disabled; its menu still shows the log. A screen
        // reader presses "More actions" as a click does.
        if (row->isEnabled()) {
            QAccessibleActionInterface *more =
                QAccessible::queryAccessibleInterface(child(u"moreButton"_s, row))
                    ->actionInterface();
            QVERIFY(more->actionNames().contains(QAccessibleActionInterface::pressAction()));
            more->doAction(QAccessibleActionInterface::pressAction());
        } else {
            row->openMenu();
        }
        auto *opened = child<QMenu>(u"rowMenu"_s, row);
        QTRY_VERIFY(opened && opened->isVisible());
        // While it is open, its items are in the accessibility tree.
        QStringList items;
        QAccessibleInterface *menuFace = QAccessible::queryAccessibleInterface(opened);
        for (int i = 0; i < menuFace->childCount(); ++i) {
            const QAccessible::State state = menuFace->child(i)->state();
            if (!state.invisible) {
                QString item = menuFace->child(i)->text(QAccessible::Name);
                if (state.checkable) {
                    item += state.checked ? u" [x]"_s : u" [ ]"_s;
                }
                items.append(state.disabled ? item + u" (off)"_s : item);
            }
        }
        opened->hide();
        // Any tunnel may start with Velumo, whatever its state.
        QCOMPARE(items, menu << u"Start with Velumo [ ]"_s);
    }

    // A failed Create leaves its sentence and a link, reached by keyboard, to its run's output.
    void failedCreation_offersItsLog()
    {
        script("err ERR something broke\nexit 1\n");
        click(child(u"createButton"_s));
        QPushButton *link = nullptr;
        QTRY_VERIFY((link = child<QPushButton>(u"failedRunLogLink"_s)) && link->isVisible());
        QVERIFY(child<QLabel>(u"statusLine"_s)->text().contains(u"something broke"_s));
        QCOMPARE(accessibleName(link), u"Show the failed run's log"_s);
        QVERIFY(link->focusPolicy() & Qt::TabFocus);
        link->setFocus();
        QTest::keyClick(link, Qt::Key_Space);
        auto *window = m_view->findChild<LogWindow *>();
        QVERIFY(window && window->isVisible());
        QTRY_VERIFY(child<QPlainTextEdit>(u"logText"_s, window)->toPlainText().contains(
            u"something broke"_s));
        // The next message is about something else: the link goes.
        model()->setStatusMessage(u"other"_s);
        QVERIFY(link->isHidden());
    }

    // The address is never cut: in a narrow window the list scrolls sideways.
    void window_fitsItsFirstRowAndKeepsTheAddressWholeWhenNarrowed()
    {
        m_view->resize(640, 400);
        script(announcement() + "wait\n");
        click(child(u"createButton"_s));
        QPushButton *link = nullptr;
        QTRY_VERIFY((link = child<QPushButton>(u"tunnelLink"_s)) && link->isVisible());
        // The first row widens the window until the list needs no scrolling sideways, as far
        // as the screen allows; a window narrowed afterwards scrolls it.
        auto *list = child<QScrollArea>(u"tunnelList"_s);
        QTRY_VERIFY(list->widget()->minimumSizeHint().width() <= list->viewport()->width() ||
                    m_view->frameGeometry().width() >=
                        m_view->screen()->availableGeometry().width());
        m_view->resize(640, 400);
        QCOMPARE(link->text(), announcedAddress);
        QTRY_COMPARE(link->width(), link->sizeHint().width());
        QVERIFY(link->width() > link->fontMetrics().horizontalAdvance(announcedAddress));
    }

    void address_isCopiedAsPlainTextAndOpenedByMouseOrKeyboard()
    {
        QDesktopServices::setUrlHandler(u"https"_s, this, "openUrl");
        auto *old = new QMimeData;
        old->setHtml(u"<b>old</b>"_s);
        QGuiApplication::clipboard()->setMimeData(old);
        useTranscript(u"quick-tunnel.script"_s);
        click(child(u"createButton"_s));
        QTRY_VERIFY(child(u"copyButton"_s));
        for (int i = 0; i < 2; ++i) {
            click(child(u"copyButton"_s));
            QCOMPARE(QGuiApplication::clipboard()->text(), announcedAddress);
            QCOMPARE(QGuiApplication::clipboard()->mimeData()->formats(),
                     QStringList{u"text/plain"_s});
        }
        QWidget *link = child(u"tunnelLink"_s);
        click(link);
        link->setFocus();
        for (const auto key : {Qt::Key_A, Qt::Key_Return, Qt::Key_Space}) {
            QTest::keyClick(link, key);
        }
        QDesktopServices::unsetUrlHandler(u"https"_s);
        QCOMPARE(m_opened, QList<QUrl>(3, QUrl(announcedAddress)));
    }

    // Rows take focus, arrows move between them, and the Menu key or Shift+F10 opens the
    // focused row's menu.
    void rows_workByKeyboard_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::newRow("Menu") << int(Qt::Key_Menu) << int(Qt::NoModifier);
        QTest::newRow("Shift+F10") << int(Qt::Key_F10) << int(Qt::ShiftModifier);
    }
    void rows_workByKeyboard()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        load(TunnelList(3));
        QTRY_COMPARE(rows().size(), 3);
        TunnelRow *first = rows().at(0);
        first->setFocus();
        QTest::keyClick(first, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), u"moreButton"_s);
        first->setFocus();
        QTest::keyClick(first, Qt::Key_Up);
        QCOMPARE(QApplication::focusWidget(), first);
        QTest::keyClick(first, Qt::Key_Down);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
        auto *third = qobject_cast<TunnelRow *>(QApplication::focusWidget());
        QVERIFY(third && third != first && third->y() > first->y());
        QTest::keyClick(third, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QTRY_VERIFY(child(u"rowMenu"_s, third) && child(u"rowMenu"_s, third)->isVisible());
    }

    // The account items say whether a certificate is there before the menu was ever opened.
    void accountItems_followTheCertificateFromTheStart()
    {
        const QByteArray home = qgetenv("HOME");
        qputenv("HOME", m_dir->path().toUtf8());
        QVERIFY(QDir(m_dir->path()).mkpath(u".cloudflared"_s));
        QVERIFY(writeFile(m_dir->filePath(u".cloudflared/cert.pem"_s), "certificate"));
        ContentView view(new ContentModel(TunnelStore(m_dir->filePath(u"other.json"_s))));
        qputenv("HOME", home);
        QVERIFY(view.findChild<QAction *>(u"newNamedTunnelAction"_s)->isEnabled());
        QVERIFY(view.findChild<QAction *>(u"addExistingAction"_s)->isEnabled());
    }

    // Rows sit in pages of 32: a deletion moves the rows after it up, across pages too.
    void delete_removesTheRowAndKeepsTheOrder_data()
    {
        QTest::addColumn<int>("index");
        QTest::newRow("first") << 0;
        QTest::newRow("end of a page") << 31;
        QTest::newRow("start of a page") << 32;
    }
    void delete_removesTheRowAndKeepsTheOrder()
    {
        QFETCH(int, index);
        TunnelList stored(70);
        load(stored);
        QTRY_COMPARE(rows().size(), 70);
        for (TunnelRow *row : rows()) {
            if (row->id() == stored.at(index).id) {
                click(child(u"deleteButton"_s, row));
            }
        }
        stored.removeAt(index);
        QList<QUuid> expected;
        for (const Tunnel &tunnel : stored) {
            expected.append(tunnel.id);
        }
        const auto shownInOrder = [this] {
            QMap<int, QUuid> byTop;
            for (TunnelRow *row : rows()) {
                if (row->isVisible()) {
                    byTop.insert(row->mapTo(m_view.get(), QPoint()).y(), row->id());
                }
            }
            return byTop.values();
        };
        QTRY_COMPARE(shownInOrder(), expected);
    }

    // The tool writes on and connects: the row's focused button and the log's selection stay.
    void stateChange_keepsTheFocusAndTheLogSelection()
    {
        script(announcement() + "err INF first\nsleep 300\nerr INF Registered tunnel "
                                "connection\nerr INF later\nwait\n");
        click(child(u"createButton"_s));
        QTRY_VERIFY(child(u"copyButton"_s) && rows().first()->isEnabled());
        m_view->actions()->action(rows().first()->id(), TunnelActions::ShowLog)->trigger();
        QWidget *copy = child(u"copyButton"_s);
        copy->setFocus();
        auto *window = m_view->findChild<LogWindow *>();
        QVERIFY(window && window->isVisible());
        QCOMPARE(child<QLabel>(u"logCommandLine"_s, window)->text(),
                 u"$ "_s + standinPath() + u" tunnel --no-autoupdate --url localhost:3000"_s);
        auto *text = child<QPlainTextEdit>(u"logText"_s, window);
        QTRY_VERIFY(text->toPlainText().contains(u"INF first"_s));
        QTextCursor selection(text->document()->firstBlock());
        selection.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        text->setTextCursor(selection);
        const QString selected = selection.selectedText();
        QVERIFY(!selected.isEmpty());
        QTRY_VERIFY(text->toPlainText().contains(u"INF later"_s));
        QCOMPARE(text->textCursor().selectedText(), selected);
        QCOMPARE(rows().first()->toolTip(), u"Connected"_s);
        QCOMPARE(m_view->focusWidget(), copy);
    }

    // A password generated for a new tunnel is shown with its link once the address is known,
    // and again from the row's menu.
    void generatedPassword_isShownWithItsLink()
    {
        model()->setNewTunnelDefaults({.inspect = false, .password = true});
        script(announcement() + "wait\n");
        click(child(u"createButton"_s));
        for (int shown = 0; shown < 2; ++shown) {
            QDialog *dialog = nullptr;
            QTRY_VERIFY((dialog = m_view->findChild<QDialog *>(u"passwordShown"_s)));
            const QString password = child<QLineEdit>(u"passwordField"_s)->text();
            QCOMPARE(password.size(), 19);
            QVERIFY(child<QLineEdit>(u"linkField"_s)->text().startsWith(announcedAddress +
                                                                        u"/?velumo_key="_s));
            click(child(u"passwordCopy"_s));
            QCOMPARE(QGuiApplication::clipboard()->text(), password);
            delete dialog;
            if (shown == 0) {
                const QUuid id = rows().first()->id();
                m_view->actions()->action(id, TunnelActions::ShowPassword)->trigger();
            }
        }
    }

    // Either switch on a running quick tunnel asks before starting it again (its address
    // changes), and the status line then says the new address.
    void switches_askBeforeANewAddress_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("inspect") << int(TunnelActions::Inspect);
        QTest::newRow("password") << int(TunnelActions::Password);
    }
    void switches_askBeforeANewAddress()
    {
        QFETCH(int, kind);
        script(announcement() + "wait\n");
        click(child(u"createButton"_s));
        QTRY_VERIFY(child(u"copyButton"_s) && rows().first()->isEnabled());
        const QUuid id = rows().first()->id();
        QAction *action = m_view->actions()->action(id, TunnelActions::Kind(kind));
        const QString second = u"https://second-address.trycloudflare.com"_s;
        script(announcement(second) + "wait\n");
        for (const auto answer : {QMessageBox::Cancel, QMessageBox::Ok}) {
            action->trigger();
            QMessageBox *ask = nullptr;
            QTRY_VERIFY((ask = m_view->findChild<QMessageBox *>(u"restartQuestion"_s)));
            QVERIFY(ask->text().contains(announcedAddress) && !action->isChecked());
            ask->button(answer)->click();
            QTRY_VERIFY(!m_view->findChild<QMessageBox *>(u"restartQuestion"_s));
        }
        if (kind == TunnelActions::Password) {
            QInputDialog *dialog = nullptr;
            QTRY_VERIFY((dialog = m_view->findChild<QInputDialog *>(u"passwordDialog"_s)));
            dialog->accept();
        }
        QTRY_VERIFY(model()->activity(id).throughProxy);
        QVERIFY(action->isChecked());
        QTRY_VERIFY(accessibleName(child(u"statusLine"_s)).contains(second));
    }

    // A development server refuses the tunnel's address: the row's badge opens its menu, by a
    // click or a screen reader's press, at what helps. Another Host gets past Vite's check (the
    // quick tunnel starts again, asked first); Rails's wants the line of its own setting.
    void hostCheckBadge_opensWhatHelps_data()
    {
        QTest::addColumn<QByteArray>("refusal");
        QTest::addColumn<QString>("help"); // PORT stands for the service's port
        QTest::newRow("vite") << QByteArray("Blocked request. This host (\"x\") is not allowed. "
                                            "Add it to server.allowedHosts.")
                              << u"Send Host as 127.0.0.1:PORT"_s;
        QTest::newRow("rails") << QByteArray("Blocked host: x")
                               << u"How to allow the tunnel's address…"_s;
    }
    void hostCheckBadge_opensWhatHelps()
    {
        QFETCH(QByteArray, refusal);
        QFETCH(QString, help);
        QTcpServer service;
        QVERIFY(service.listen(QHostAddress::LocalHost));
        connect(&service, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *socket = service.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [&, socket] {
                socket->readAll();
                socket->write("HTTP/1.1 403 Forbidden\r\nContent-Length: " +
                              QByteArray::number(refusal.size()) + "\r\n\r\n" + refusal);
            });
        });
        const QString port = QString::number(service.serverPort());
        help.replace(u"PORT"_s, port);
        script(announcement() + "wait\n");
        child<QLineEdit>(u"hostnameField"_s)->setText(u"127.0.0.1"_s);
        child<QLineEdit>(u"portField"_s)->setText(port);
        click(child(u"createButton"_s));
        QToolButton *badge = nullptr;
        QTRY_VERIFY((badge = child<QToolButton>(u"hostCheckWarning"_s)) && badge->isVisible());
        QCOMPARE(accessibleName(badge), u"The service refuses the tunnel's address"_s);
        TunnelRow *row = rows().first();
        QMenu *menu = nullptr;
        for (const bool pressed : {false, true}) {
            if (pressed) {
                QAccessible::queryAccessibleInterface(badge)->actionInterface()->doAction(
                    QAccessibleActionInterface::pressAction());
            } else {
                click(badge);
            }
            QTRY_VERIFY((menu = child<QMenu>(u"rowMenu"_s, row)) && menu->isVisible());
            QCOMPARE(menu->activeAction()->text(), help);
            if (!pressed) {
                menu->hide();
            }
        }
        const QString record = m_dir->filePath(u"argv.json"_s);
        script("record " + record.toUtf8() + "\n" + announcement() + "wait\n");
        QTest::keyClick(menu, Qt::Key_Return);
        if (help.startsWith(u"Send Host"_s)) {
            QMessageBox *ask = nullptr;
            QTRY_VERIFY((ask = m_view->findChild<QMessageBox *>(u"restartQuestion"_s)));
            ask->button(QMessageBox::Ok)->click();
            QTRY_VERIFY(QFile::exists(record));
            const QStringList argv = readRecord(record)[u"argv"].toVariant().toStringList();
            QCOMPARE(argv.mid(5), (QStringList{u"--http-host-header"_s, u"127.0.0.1:"_s + port}));
            return;
        }
        QDialog *dialog = nullptr;
        QTRY_VERIFY((dialog = m_view->findChild<QDialog *>(u"allowHostDialog"_s)));
        const QString setting = u"config.hosts << \".trycloudflare.com\""_s;
        QCOMPARE(child<QLineEdit>(u"allowHostSetting"_s, dialog)->text(), setting);
        click(child(u"copyAllowHostSetting"_s, dialog));
        QCOMPARE(QGuiApplication::clipboard()->text(), setting);
    }

    // A replay from the requests window reaches an https:// service by the certificate trusted
    // for its tunnel, though this system does not trust it.
    void requestsWindow_replaysToTheTrustedService()
    {
        QSslServer service;
        service.setSslConfiguration(serviceTlsConfiguration());
        connect(&service, &QTcpServer::pendingConnectionAvailable, this, [&service] {
            while (QTcpSocket *socket = service.nextPendingConnection()) {
                connect(
                    socket, &QTcpSocket::readyRead, socket,
                    [socket] { socket->write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"); },
                    Qt::SingleShotConnection);
            }
        });
        QVERIFY(service.listen(QHostAddress::LocalHost));
        Tunnel tunnel;
        tunnel.hostname = u"https://localhost"_s;
        tunnel.port = QString::number(service.serverPort());
        const QByteArray trusted = serviceCertificate().digest(QCryptographicHash::Sha256).toHex();
        QVERIFY(writeFile(m_dir->filePath(u"tunnelOptions.json"_s),
                          "{\"" + uuidText(tunnel.id).toUtf8() +
                              "\": {\"inspect\": true, \"trustedCertificate\": \"" + trusted +
                              "\"}}"));
        load({tunnel});
        CapturedExchange exchange;
        exchange.tunnel = tunnel.id.toString(QUuid::WithoutBraces);
        exchange.request.bytes = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";
        exchange.readRequest();
        model()->registry().runs().recorder().captures().add(exchange);

        m_view->actions()->action(tunnel.id, TunnelActions::ShowRequests)->trigger();
        auto *window = m_view->findChild<RequestsWindow *>();
        QVERIFY(window && window->isVisible());
        child<QTableView>(u"requestsTable"_s, window)->selectRow(0);
        click(child(u"requestsReplay"_s, window));
        QTRY_COMPARE(child<QLabel>(u"requestsStatus"_s, window)->text(),
                     u"Replayed: the service answered 200."_s);
    }

    void texts_areReadableOverAccessibility_data()
    {
        QTest::addColumn<QString>("objectName");
        QTest::addColumn<bool>("toolFound");
        QTest::addColumn<QString>("parts"); // what its accessible name says, split at '|'
        const QString places = cloudflaredSearchPlaces().join(u", "_s);
        QTest::newRow("empty list")
            << u"emptyState"_s << true << u"hostname and port|press Create"_s;
        QTest::newRow("empty list, no tool")
            << u"emptyState"_s << false << u"not found|pkg.cloudflare.com|bundled|"_s + places;
        QTest::newRow("status line")
            << u"statusLine"_s << false << u"cloudflared was not found (looked in "_s + places;
        QTest::newRow("About: name") << u"aboutName"_s << true << u"Velumo"_s;
        QTest::newRow("About: version") << u"aboutVersion"_s << true << u"Version 4.5.6-rc1"_s;
        QTest::newRow("About: copyright")
            << u"aboutCopyright"_s << true << AboutDialog::copyrightText();
        QTest::newRow("About: credits") << u"aboutCredits"_s << true << AboutDialog::creditsText();
        QTest::newRow("About: tool")
            << u"aboutTool"_s << true << u"/cloudflared\n|version 2099.1"_s;
        QTest::newRow("About: no tool") << u"aboutTool"_s << false << u"not found|"_s + places;
    }
    void texts_areReadableOverAccessibility()
    {
        QFETCH(QString, objectName);
        QFETCH(bool, toolFound);
        QFETCH(QString, parts);
        QCoreApplication::setApplicationVersion(u"4.5.6-rc1"_s);
        const QString tool = m_dir->filePath(u"cloudflared"_s);
        QVERIFY(writeFile(tool, "#!/bin/sh\necho 'cloudflared version 2099.1.0 (built 2099)'\n"));
        QVERIFY(QFile::setPermissions(tool, QFile::ReadOwner | QFile::ExeOwner));
        model()->setToolPath(toolFound ? tool : QString());
        AboutDialog about;
        about.showTool(model()->toolPath());
        // Long messages are cut short on screen, never for a screen reader.
        m_view->resize(200, 300);
        if (!toolFound) {
            click(child(u"createButton"_s));
        }
        QWidget *widget = child(objectName, objectName.startsWith(u"about"_s) ? &about : nullptr);
        QVERIFY(widget);
        for (const QString &part : parts.split(u'|')) {
            QTRY_VERIFY2(accessibleName(widget).contains(part), qPrintable(accessibleName(widget)));
        }
    }

    // The bars' overflow arrows are read late, and are still the desktop style's own.
    void overflowArrows_areTheStylesOwn()
    {
        AppStyle style;
        for (const auto which : {QStyle::SP_ToolBarHorizontalExtensionButton,
                                 QStyle::SP_ToolBarVerticalExtensionButton}) {
            const QImage expected = style.baseStyle()->standardIcon(which).pixmap(16).toImage();
            QVERIFY(!expected.isNull());
            QCOMPARE(style.standardIcon(which).pixmap(16).toImage(), expected);
        }
    }
};

QTEST_MAIN(ContentViewTest)
#include "ContentViewTest.moc"
