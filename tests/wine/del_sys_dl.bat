@echo del_sys_dl.bat>>standin.log
