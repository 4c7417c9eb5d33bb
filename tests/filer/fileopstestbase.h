#pragma once

#include "filertestbase.h"

#include "filer/fileractiontable.h"
#include "jobs/vfsjobmodel.h"
#include "models/vfssortfilterproxymodel.h"
#include "support/idtranslator.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QItemSelectionModel>
#include <QStatusBar>
#include <QtTest>

// A Filer showing one directory of a rig peer, with the English texts, the
// job model the Filer's jobs register in (on this thread, where the rig's
// clients live) and the shared actions of trash, delete, new folder and
// rename, so that their keys work as in the window.
struct FileOpsFixture
{
    FileOpsFixture()
    {
        english.loadTs(QStringLiteral(VELM_I18N_DIR "/velm_en.ts"));
        QCoreApplication::installTranslator(&english);
        jobs.reset(new VfsJobModel);
        FilerActionTable::build();
        SharedActions::trash = FilerActionTable::createAction(QStringLiteral("filer.trash"), &actionOwner);
        SharedActions::deleteItems = FilerActionTable::createAction(QStringLiteral("filer.delete"), &actionOwner);
        SharedActions::newFolder = FilerActionTable::createAction(QStringLiteral("filer.new-folder"), &actionOwner);
        SharedActions::rename = FilerActionTable::createAction(QStringLiteral("filer.rename"), &actionOwner);
        f.reset(new FilerFixture);
    }
    ~FileOpsFixture()
    {
        f.reset();
        jobs.reset();
        FilerActionTable::clear();
        QCoreApplication::removeTranslator(&english);
    }

    // A Filer on peer showing dir, its rows loaded; the window is active.
    Filer* filerIn(IPeer* peer, const QString& dir, int rows, int mode = Filer::ViewList)
    {
        Filer* filer = f->newFiler();
        filer->setPeer(peer);
        filer->setViewMode(mode);
        f->pane->resize(900, 600);
        f->pane->show();
        if (!QTest::qWaitForWindowExposed(f->pane.get()))
            return nullptr;
        QApplication::setActiveWindow(f->pane.get());
        filer->gotoPath(dir);
        for (int i = 0; i < 1500
                        && (filer->path() != dir || filer->proxy()->rowCount(filer->currentView()->rootIndex()) < rows);
             ++i)
            QTest::qWait(10);
        return filer->path() == dir ? filer : nullptr;
    }

    static QModelIndex shown(Filer* filer, const QString& path)
    {
        return filer->proxy()->mapFromSource(FilerFixture::modelOf(filer->peer())->indexForPath(path));
    }

    // Selects the entries of dir named so, in that order.
    static bool select(Filer* filer, const QString& dir, const QStringList& names)
    {
        filer->selectionModel()->clearSelection();
        for (const QString& name : names) {
            const QModelIndex index = shown(filer, dir + QLatin1Char('/') + name);
            if (!index.isValid())
                return false;
            filer->selectionModel()->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
        return true;
    }

    static bool focusView(Filer* filer)
    {
        filer->currentView()->setFocus();
        for (int i = 0; i < 500 && !filer->hasFocus(); ++i)
            QTest::qWait(10);
        return filer->hasFocus();
    }

    static QString status(Filer* filer)
    {
        auto* bar = filer->findChild<QStatusBar*>();
        return bar ? bar->currentMessage() : QString();
    }

    // With VELM_SCREENSHOT_DIR set, saves a picture of what the user sees.
    static void shot(const QImage& image, const QString& name)
    {
        const QString dir = qEnvironmentVariable("VELM_SCREENSHOT_DIR");
        if (!dir.isEmpty())
            image.save(dir + QLatin1Char('/') + name + QStringLiteral(".png"));
    }
    static void shot(QWidget* widget, const QString& name)
    {
        if (!qEnvironmentVariableIsEmpty("VELM_SCREENSHOT_DIR"))
            shot(widget->grab().toImage(), name);
    }

    IdTranslator english;
    QObject actionOwner;
    std::unique_ptr<VfsJobModel> jobs;
    std::unique_ptr<FilerFixture> f;
};
