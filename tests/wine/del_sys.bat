@echo del_sys.bat>>standin.log
