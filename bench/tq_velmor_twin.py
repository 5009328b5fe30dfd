"""The module's Python twin, for the benchmarks only (never installed).

The same start-up and the same standard-library calls, in the same order, written as a plain
Python module; bench/run.py imports it beside tq_velmor and times the two against each other.
Like the module, it needs `winreg` (the stand-in outside Windows).
"""

import sys
import os


def get_path(relative_path):
    if getattr(sys, "frozen", False):
        base_path = getattr(sys, "_MEIPASS", os.path.dirname(sys.executable))
    else:
        base_path = os.path.abspath(".")
    return os.path.join(base_path, relative_path)


import os
import sys
import subprocess
import shutil
import urllib.request
import zipfile
import glob
import ctypes
import time
import winreg

try:
    ctypes.windll.kernel32.SetConsoleTitleW("Zelk Builder - Official Final Fix")
except BaseException:
    pass


class TQ_Theme:
    CYAN = "\x1b[38;5;51m"
    PURPLE = "\x1b[38;5;141m"
    GREEN = "\x1b[38;5;82m"
    GOLD = "\x1b[38;5;220m"
    RED = "\x1b[38;5;196m"
    BOLD = "\x1b[1m"
    RESET = "\x1b[0m"
    BANNER = f"\n{PURPLE}{'=' * 63}{RESET}\n{CYAN}    >> ONE CLICK YT-DLP BUILDER - ZELK DIGITAL - KORVANE << {RESET}"


def tq_refresh(status_msg, progress=0):
    os.system("cls" if os.name == "nt" else "clear")
    print(TQ_Theme.BANNER)
    print(f"{TQ_Theme.PURPLE}{'=' * 63}{TQ_Theme.RESET}\n")
    print(f" {TQ_Theme.BOLD}{TQ_Theme.GOLD}[ FASE ]:{TQ_Theme.RESET} {TQ_Theme.CYAN}{status_msg}{TQ_Theme.RESET}\n")
    filled = int(35 * progress // 100)
    bar = f"{TQ_Theme.GREEN}█{TQ_Theme.RESET}" * filled + f"{TQ_Theme.PURPLE}░{TQ_Theme.RESET}" * (35 - filled)
    print(f" {bar} {TQ_Theme.BOLD}{progress}%{TQ_Theme.RESET}\n")


def run_silent(cmd, cwd=None, env=None):
    try:
        subprocess.run(cmd, cwd=cwd, env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                       text=True)
    except subprocess.CalledProcessError as e:
        error_msg = e.stderr if e.stderr else "Error desconocido"
        raise Exception(f"Fallo en: {cmd[0] if isinstance(cmd, list) else cmd}\nDetalle: {error_msg}")


def validar_python(path):
    if not path:
        return False
    if not os.path.exists(path):
        return False
    if "WindowsApps" in path:
        return False
    try:
        return subprocess.run([path, "--version"], capture_output=True, text=True, timeout=5).returncode == 0
    except BaseException:
        return False


def encontrar_python_real():
    if not getattr(sys, "frozen", False):
        if validar_python(sys.executable):
            return sys.executable
    candidatos = []
    user_path = os.path.expanduser("~")
    rutas_comunes = [os.path.join(user_path, "AppData\\Local\\Programs\\Python"), "C:\\Program Files\\Python",
                     "C:\\Python"]
    for root in rutas_comunes:
        if os.path.exists(root):
            for item in glob.glob(os.path.join(root, "Python3*")):
                exe = os.path.join(item, "python.exe")
                if os.path.exists(exe):
                    candidatos.append(exe)
    try:
        hives = [winreg.HKEY_CURRENT_USER, winreg.HKEY_LOCAL_MACHINE]
        for hive in hives:
            try:
                key = winreg.OpenKey(hive, "SOFTWARE\\Python\\PythonCore")
                i = 0
                while True:
                    try:
                        ver = winreg.EnumKey(key, i)
                        path_key = winreg.OpenKey(key, f"{ver}\\InstallPath")
                        val, _ = winreg.QueryValueEx(path_key, "")
                        exe = os.path.join(val, "python.exe")
                        if validar_python(exe):
                            candidatos.append(exe)
                        i += 1
                    except OSError:
                        break
            except BaseException:
                pass
    except BaseException:
        pass
    for py in candidatos:
        if validar_python(py):
            return py
    en_path = shutil.which("python")
    if en_path and validar_python(en_path):
        return en_path
    raise Exception("No se encontró Python instalado. Instálalo desde python.org")


def setup_upx():
    if os.path.exists("upx.exe"):
        return True
    try:
        url = "https://github.com/upx/upx/releases/download/v4.2.2/upx-4.2.2-win64.zip"
        urllib.request.urlretrieve(url, "upx.zip")
        with zipfile.ZipFile("upx.zip", "r") as z:
            for f in z.namelist():
                if f.endswith("upx.exe"):
                    with open("upx.exe", "wb") as dest:
                        dest.write(z.read(f))
                    break
        try:
            os.remove("upx.zip")
        except BaseException:
            pass
        return True
    except BaseException:
        return False


def cleanup():
    folders = ["build", "dist", "yt-dlp-master", "devscripts", "yt_dlp", "bundle"]
    files = ["source.zip", "upx.zip", "upx.exe", "yt-dlp.spec"]
    for c in folders:
        if os.path.exists(c):
            try:
                shutil.rmtree(c, ignore_errors=True)
            except BaseException:
                pass
    for f in files:
        if os.path.exists(f):
            try:
                os.remove(f)
            except BaseException:
                pass


def arreglar_ruta_metadatos(repo_dir):
    """
    Modifica bundle/pyinstaller.py para usar RUTAS ABSOLUTAS.
    IMPORTANTE: No inyectamos 'import os' porque ya existe globalmente.
    """
    bundler = os.path.join(repo_dir, "bundle", "pyinstaller.py")
    if not os.path.exists(bundler):
        return False
    with open(bundler, "r", encoding="utf-8") as f:
        code = f.read()
    target = "set_version_info(final_file, version)"
    fix = "final_file = os.path.abspath(final_file); set_version_info(final_file, version)"
    if target not in code:
        return False
    code = code.replace(target, fix)
    with open(bundler, "w", encoding="utf-8") as f:
        f.write(code)
    return True


def main():
    try:
        py = encontrar_python_real()
        cleanup()
        tq_refresh("Cargando motor UPX...", 10)
        has_upx = setup_upx()
        env = os.environ.copy()
        if has_upx:
            env["PATH"] = os.getcwd() + os.pathsep + env["PATH"]
        tq_refresh("Descargando código oficial...", 25)
        urllib.request.urlretrieve("https://github.com/yt-dlp/yt-dlp/archive/refs/heads/master.zip", "source.zip")
        with zipfile.ZipFile("source.zip", "r") as z:
            z.extractall(".")
        repo = os.path.abspath("yt-dlp-master")
        arreglar_ruta_metadatos(repo)
        tq_refresh("Instalando dependencias...", 45)
        deps = ["mutagen", "pycryptodomex", "websockets", "brotli", "certifi", "requests", "pyinstaller"]
        run_silent([py, "-m", "pip", "install"] + deps + ["--disable-pip-version-check"])
        tq_refresh("Optimizando (Lazy Extractors)...", 60)
        run_silent([py, "devscripts/make_lazy_extractors.py"], cwd=repo)
        tq_refresh("Compilando Binario Oficial...", 80)
        run_silent([py, "-m", "bundle.pyinstaller"], cwd=repo, env=env)
        tq_refresh("Finalizando...", 95)
        src = os.path.join(repo, "dist", "yt-dlp.exe")
        dst = "yt-dlp.exe"
        if os.path.exists(src):
            if os.path.exists(dst):
                os.remove(dst)
            shutil.move(src, dst)
            size = os.path.getsize(dst) / 1048576
            cleanup()
            col = TQ_Theme.RED if size > 25 else TQ_Theme.GREEN
            tq_refresh(f"¡HECHO! Peso: {col}{size:.2f} MB{TQ_Theme.RESET}", 100)
            print(f"\n  {TQ_Theme.CYAN}Estado:{TQ_Theme.RESET}    Compilación Oficial Exitosa")
            print(f"  {TQ_Theme.GOLD}Motor:{TQ_Theme.RESET}     {os.path.basename(py)}")
            print(f"  {TQ_Theme.GOLD}Tamaño:{TQ_Theme.RESET}    {col}{size:.2f} MB{TQ_Theme.RESET}")
            if size > 25:
                print(f"\n  {TQ_Theme.RED}⚠  ADVERTENCIA:{TQ_Theme.RESET} El archivo supera los 25MB.")
            else:
                print(f"\n  {TQ_Theme.GREEN}✔  EXCELENTE:{TQ_Theme.RESET} Apto para GitHub (<25MB).")
            time.sleep(5)
        else:
            print(f"\n {TQ_Theme.RED}[ERROR] No se generó el EXE.{TQ_Theme.RESET}")
            input()
    except Exception as e:
        print(f"\n{TQ_Theme.RED}ERROR CRITICO:{TQ_Theme.RESET} {e}")
        input()


if __name__ == "__main__":
    main()
