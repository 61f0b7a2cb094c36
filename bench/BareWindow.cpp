// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers

// The start-up baseline: a plain Qt program with the main window's furniture (menus, the
// toolbar form, an empty list and a status line) and nothing behind it.

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStatusBar>
#include <QToolBar>
#include <QVBoxLayout>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Bare"));
    window.menuBar()->addMenu(QStringLiteral("&File"))->addAction(QStringLiteral("&Quit"));
    window.menuBar()->addMenu(QStringLiteral("&Help"))->addAction(QStringLiteral("About"));

    auto *toolbar = window.addToolBar(QStringLiteral("Create"));
    toolbar->setMovable(false);
    auto *form = new QWidget(toolbar);
    auto *layout = new QHBoxLayout(form);
    layout->setContentsMargins(4, 2, 4, 2);
    auto *hostname = new QLineEdit(QStringLiteral("localhost"), form);
    hostname->setPlaceholderText(QStringLiteral("Hostname"));
    hostname->setFixedWidth(200);
    auto *port = new QLineEdit(QStringLiteral("3000"), form);
    port->setPlaceholderText(QStringLiteral("Port"));
    port->setFixedWidth(140);
    auto *create = new QPushButton(QStringLiteral("Create"), form);
    create->setFixedWidth(60);
    layout->addWidget(hostname, 0, Qt::AlignVCenter);
    layout->addWidget(port, 0, Qt::AlignVCenter);
    layout->addWidget(create, 0, Qt::AlignVCenter);
    layout->addStretch(1);
    toolbar->addWidget(form);

    auto *scroll = new QScrollArea(&window);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto *list = new QWidget(scroll);
    auto *listLayout = new QVBoxLayout(list);
    auto *header = new QLabel(QStringLiteral("Tunnels"), list);
    QFont font = header->font();
    font.setBold(true);
    header->setFont(font);
    listLayout->addWidget(header);
    listLayout->addStretch(1);
    scroll->setWidget(list);
    window.setCentralWidget(scroll);
    window.statusBar();

    window.resize(720, 420);
    window.show();
    return QApplication::exec();
}
