#!/bin/sh
# Demo stand-in removal batch file.
echo "    del_sys_dl.bat: removing leftover driver files"
