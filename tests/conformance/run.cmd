@echo off
rem Runs every case of the kit with the defaults; the result is also written beside this file.
rem pushd, not cd: from a share it maps a drive letter, where cmd refuses a UNC current directory.
setlocal
pushd "%~dp0"
conformance.exe %*
set status=%ERRORLEVEL%
popd
exit /b %status%
