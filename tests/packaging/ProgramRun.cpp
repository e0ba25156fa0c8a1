#include "tests/packaging/ProgramRun.hpp"

#include <fstream>
#include <sstream>

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

namespace noctave::test {

ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const RunOptions& options) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] : options.environment) {
        environment.insert(QString::fromStdString(name), QString::fromStdString(value));
    }
    QStringList list;
    for (const auto& argument : arguments) {
        list << QString::fromStdString(argument);
    }
    QProcess process;
    process.setProcessEnvironment(environment);
    if (!options.workingDirectory.empty()) {
        process.setWorkingDirectory(QString::fromStdString(options.workingDirectory.string()));
    }
    if (!options.standardOutputFile.empty()) {
        process.setStandardOutputFile(QString::fromStdString(options.standardOutputFile.string()));
    }
    process.start(QString::fromStdString(program), list);
    ProgramRun run;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput().toStdString();
    run.err = process.readAllStandardError().toStdString();
    return run;
}

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace noctave::test
