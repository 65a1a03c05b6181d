// Step 0 of the initialisation: the compiled copy of the control file that every reader opens.
#include "setup/ctlcompiler.hpp"
#include "setup/defltuzr.hpp"

std::string defaultini::CompileControlFile(const std::string& sourceName) {
    *log << "compiling symbols in control file " << sourceName << "[end-entry]";
    const std::string compiledName = StrFormat("%s_%d.$$$", sourceName.c_str(), rank);

    FileHandle source = OpenFile(sourceName, "r");
    if (!source) {
        FailOnFile(*log, "error opening " + sourceName, 28);
    }
    ControlFileCompiler compiler(log);
    compiler.CollectSymbols(source.get());
    if (std::fseek(source.get(), 0, SEEK_SET) != 0) {
        *log << "FATAL: error rewinding " << sourceName << "[end-entry]";
        throw ModelError(28);
    }
    controlFile = OpenFile(compiledName, "w");
    if (!controlFile) {
        FailOnFile(*log, "error opening " + compiledName, 28);
    }
    compiler.WriteCopy(source.get(), controlFile.get());

    if (std::fclose(source.release()) != 0) {
        FailOnFile(*log, "error closing " + sourceName, 11);
    }
    if (std::fclose(controlFile.release()) != 0) {
        FailOnFile(*log, "error closing " + compiledName, 11);
    }
    return compiledName;
}
