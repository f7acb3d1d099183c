// Environment variables set or removed for one scope and put back as they
// were when it ends, so that a test can play another user (HOME,
// XDG_CONFIG_HOME) without leaving the change to the next test.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>
#include <utility>
#include <vector>

namespace vexav::test {

class TScopedEnvironment {
 public:
  TScopedEnvironment() = default;
  TScopedEnvironment(const TScopedEnvironment&) = delete;
  TScopedEnvironment& operator=(const TScopedEnvironment&) = delete;
  ~TScopedEnvironment() {
    for (auto it = Saved.rbegin(); it != Saved.rend(); ++it) {
      if (it->second)
        qputenv(it->first.constData(), *it->second);
      else
        qunsetenv(it->first.constData());
    }
  }

  void Set(const char* name, const QString& value) {
    Remember(name);
    qputenv(name, value.toLocal8Bit());
  }
  void Unset(const char* name) {
    Remember(name);
    qunsetenv(name);
  }

 private:
  void Remember(const char* name) {
    std::optional<QByteArray> value;
    if (qEnvironmentVariableIsSet(name)) value = qgetenv(name);
    Saved.emplace_back(QByteArray(name), std::move(value));
  }

  std::vector<std::pair<QByteArray, std::optional<QByteArray>>> Saved;
};

}  // namespace vexav::test
