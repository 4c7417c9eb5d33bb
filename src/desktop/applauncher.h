#pragma once

#include <QSqlQueryModel>

// The desktop applications that open files, for the open-with menus.
// Stand-in: the single instance exists and answers with no applications;
// the query of the desktop's applications and the launching come later.
class AppLauncher : public QSqlQueryModel
{
    Q_OBJECT
public:
    // The one launcher, made on first use with the application as parent.
    static AppLauncher* instance();

private:
    explicit AppLauncher(QObject* parent);
};
