@echo off
rem Runs every case of the kit with the defaults; the result is also written beside this file.
setlocal
cd /d "%~dp0"
conformance.exe %*
exit /b %ERRORLEVEL%
