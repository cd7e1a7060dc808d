@echo off
echo Hello from the Nimbet demo application.
