#include "StartupFiles.h"

#include <QFile>
#include <QSet>
#include <QString>

namespace {

const QString kEndOfOptions = QStringLiteral("--");

// Options that QGuiApplication and QApplication read with a separate value. The program passes
// none of them to Qt, but their values must not be mistaken for files.
bool TakesValue(QString option) {
  static const QSet<QString> kOptions = {QStringLiteral("style"),
                                         QStringLiteral("stylesheet"),
                                         QStringLiteral("platform"),
                                         QStringLiteral("platformpluginpath"),
                                         QStringLiteral("platformtheme"),
                                         QStringLiteral("plugin"),
                                         QStringLiteral("qwindowgeometry"),
                                         QStringLiteral("qwindowicon"),
                                         QStringLiteral("qwindowtitle"),
                                         QStringLiteral("session"),
                                         QStringLiteral("display"),
                                         QStringLiteral("geometry"),
                                         QStringLiteral("name"),
                                         QStringLiteral("title")};
  if (option.contains(u'=')) return false;
  option.remove(0, option.startsWith(kEndOfOptions) ? 2 : 1);
  return kOptions.contains(option);
}

QStringList Arguments(int argc, char** argv) {
  QStringList arguments;
  for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
    arguments.append(QFile::decodeName(argv[i]));
  }
  return arguments;
}

}  // namespace

QStringList StartupPaths(int argc, char** argv) {
  const QStringList arguments = Arguments(argc, argv);
  QStringList paths;
  bool options = true;
  for (int i = 0; i < arguments.size(); ++i) {
    const QString& argument = arguments[i];
    if (options && argument == kEndOfOptions) {
      options = false;
    } else if (options && argument.startsWith(u'-')) {
      if (TakesValue(argument)) ++i;
    } else {
      paths.append(argument);
    }
  }
  return paths;
}

bool AsksForVersion(int argc, char** argv) {
  for (const QString& argument : Arguments(argc, argv)) {
    if (argument == kEndOfOptions) return false;
    if (argument == QStringLiteral("--version")) return true;
  }
  return false;
}
