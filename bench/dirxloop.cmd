@echo off
rem The cmd loop of caseloop.cmd, reading each directory's short names from "dir /x": Wine's
rem cmd expands %%~snxI to the long name of any name that is valid 8.3 in some case, so there
rem the for /r loop would rename nothing even on a volume with short names. Every directory
rem below %1, then %1 itself: a directory's own entry is renamed after its contents.
for /d /r "%~1" %%D in (*) do call :directory "%%D"
call :directory "%~1"
goto :eof

:directory
rem dir /x: date, time, AM/PM, size or <DIR>, the short name, then the long name; without a
rem short name the long one stands in its place and nothing follows it.
for /f "tokens=4,5*" %%A in ('dir /x /a "%~1"') do if /i "%%B"=="%%C" if not "%%B"=="%%C" ren "%~1\%%C" "%%B"
goto :eof
