@echo off
echo sample
