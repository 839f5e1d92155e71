"""The search page and its HTTP API: ``create_app(index)`` (app.py) and ``run(path, ...)``
(serve.py), which ``tarnexa serve`` calls. Needs the ``web`` extra (FastAPI, uvicorn)."""
