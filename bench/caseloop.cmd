@echo off
rem The loop a Windows user would write instead of shortcase: every file, then every directory
rem below %1 is renamed to its short name when the two differ only in case.
for /r "%~1" %%I in (*) do if /i "%%~nxI"=="%%~snxI" if not "%%~nxI"=="%%~snxI" ren "%%~fI" "%%~snxI"
for /d /r "%~1" %%I in (*) do if /i "%%~nxI"=="%%~snxI" if not "%%~nxI"=="%%~snxI" ren "%%~fI" "%%~snxI"
