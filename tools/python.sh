# Sourced by the scripts here: sets `python` to an absolute path of the
# interpreter that PYTHON names (default: python3), since the scripts run it
# from other directories.
python="${PYTHON:-python3}"
case "$python" in
    */*) python="$(cd "$(dirname "$python")" && pwd)/$(basename "$python")" ;;
    *) python="$(command -v "$python")" ;;
esac
