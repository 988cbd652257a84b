#!/bin/sh
# Demo stand-in removal batch file.
echo "    del_sys.bat: removing leftover driver files"
