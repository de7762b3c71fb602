"""A read-only web viewer over a vossick_analysis database.

``python -m vossick_report DB_DIR serve`` runs it. ``make_app`` builds the
application (ASGI) over an explorer for any server; ``serve`` runs it under
uvicorn. Needs the ``viewer`` extra: ``pip install 'vossick_analysis[viewer]'``.
"""

from vossick_report.viewer.app import make_app
from vossick_report.viewer.server import serve

__all__ = ["make_app", "serve"]
