#include "desktop/updater.h"

Updater::Updater(QWidget* parent) : QDialog(parent) {}
