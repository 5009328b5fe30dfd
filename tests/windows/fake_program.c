/* A fake program for the tests on Windows, where a script cannot be started as a program.
 *
 * Copied to any "<name>.exe", it runs the Python script "<name>.exe.py" beside it with the
 * interpreter named on the script's first line ("#!C:\...\python.exe"), hands on its own
 * arguments as they were quoted, and exits with the script's exit status: what a "#!" script
 * does on Linux. The path it was started as goes to the script in TQ_VELMOR_FAKE_ARGV0.
 * The script runs in a job that dies with this process, so a caller that kills the fake
 * (a time-out) leaves nothing running.
 *
 * Built by the Windows test stage: x86_64-w64-mingw32-gcc -O2 -s -municode -o fake_program.exe
 */
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

static int fail(const wchar_t *what) {
    fwprintf(stderr, L"fake_program: %ls failed (error %lu)\n", what, GetLastError());
    return 127;
}

/* The command line after its first argument, quoting kept as the caller wrote it. */
static const wchar_t *arguments_after_program(const wchar_t *line, wchar_t *argv0, size_t size) {
    size_t n = 0;
    if (*line == L'"') {
        for (++line; *line && *line != L'"'; ++line)
            if (n + 1 < size) argv0[n++] = *line;
        if (*line == L'"') ++line;
    } else {
        for (; *line && *line != L' ' && *line != L'\t'; ++line)
            if (n + 1 < size) argv0[n++] = *line;
    }
    argv0[n] = 0;
    return line;
}

int wmain(void) {
    static wchar_t self[32768], script[32768], interpreter[32768], argv0[32768], command[65536];
    DWORD length = GetModuleFileNameW(NULL, self, 32768);
    if (length == 0 || length >= 32768 - 4) return fail(L"GetModuleFileNameW");
    swprintf(script, 32768, L"%ls.py", self);

    FILE *source = _wfopen(script, L"rb");
    if (!source) return fail(script);
    char first[32768];
    if (!fgets(first, sizeof first, source) || first[0] != '#' || first[1] != '!') {
        fclose(source);
        fwprintf(stderr, L"fake_program: %ls does not start with #!\n", script);
        return 127;
    }
    fclose(source);
    first[strcspn(first, "\r\n")] = 0;
    if (!MultiByteToWideChar(CP_UTF8, 0, first + 2, -1, interpreter, 32768)) return fail(L"MultiByteToWideChar");

    const wchar_t *rest = arguments_after_program(GetCommandLineW(), argv0, 32768);
    swprintf(command, 65536, L"\"%ls\" \"%ls\"%ls", interpreter, script, rest);
    if (!SetEnvironmentVariableW(L"TQ_VELMOR_FAKE_ARGV0", argv0)) return fail(L"SetEnvironmentVariableW");

    HANDLE job = CreateJobObjectW(NULL, NULL);
    if (!job) return fail(L"CreateJobObjectW");
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {0};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits))
        return fail(L"SetInformationJobObject");

    STARTUPINFOW startup = {sizeof startup};
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child;
    if (!CreateProcessW(interpreter, command, NULL, NULL, TRUE, CREATE_SUSPENDED, NULL, NULL, &startup, &child))
        return fail(interpreter);
    if (!AssignProcessToJobObject(job, child.hProcess)) {
        TerminateProcess(child.hProcess, 127);
        return fail(L"AssignProcessToJobObject");
    }
    ResumeThread(child.hThread);
    CloseHandle(child.hThread);

    DWORD status = 127;
    WaitForSingleObject(child.hProcess, INFINITE);
    GetExitCodeProcess(child.hProcess, &status);
    return (int)status;
}
